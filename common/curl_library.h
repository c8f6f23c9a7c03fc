// libcurl, loaded when the first request is made, so that a command that makes none (--help,
// `guidance new`) does not pay for loading it and the thirty libraries it brings.
#pragma once

#include <curl/curl.h>

namespace velko::http {

// The libcurl functions the HTTP client calls.
struct CurlLibrary {
  CURLcode (*global_init)(long flags);
  CURL* (*easy_init)();
  void (*easy_cleanup)(CURL* easy);
  CURLcode (*easy_setopt)(CURL* easy, CURLoption option, ...);
  CURLcode (*easy_getinfo)(CURL* easy, CURLINFO info, ...);
  const char* (*easy_strerror)(CURLcode code);
  CURLM* (*multi_init)();
  CURLMcode (*multi_cleanup)(CURLM* multi);
  CURLMcode (*multi_add_handle)(CURLM* multi, CURL* easy);
  CURLMcode (*multi_remove_handle)(CURLM* multi, CURL* easy);
  CURLMcode (*multi_perform)(CURLM* multi, int* running);
  CURLMcode (*multi_poll)(CURLM* multi, curl_waitfd* extra, unsigned int extra_count,
                          int timeout_ms, int* ready);
  CURLMsg* (*multi_info_read)(CURLM* multi, int* left);
  const char* (*multi_strerror)(CURLMcode code);
  curl_slist* (*slist_append)(curl_slist* list, const char* text);
  void (*slist_free_all)(curl_slist* list);
  CURLU* (*url)();
  void (*url_cleanup)(CURLU* handle);
  CURLUcode (*url_set)(CURLU* handle, CURLUPart what, const char* part, unsigned int flags);
  CURLUcode (*url_get)(CURLU* handle, CURLUPart what, char** part, unsigned int flags);
  void (*free)(void* pointer);
};

// The loaded library, initialised once. Throws std::runtime_error saying what to install when
// libcurl cannot be loaded.
const CurlLibrary& curl_library();

}  // namespace velko::http
