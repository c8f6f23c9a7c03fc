#include "common/curl_library.h"

#include <stdexcept>
#include <string>

#include "common/shared_library.h"

namespace velko::http {

namespace {

#ifndef VELKO_CURL_SONAME
#define VELKO_CURL_SONAME "libcurl.so.4"
#endif

CurlLibrary load() {
  SharedLibrary library(VELKO_CURL_SONAME, "libcurl4");
  CurlLibrary lib{};
  library.resolve("curl_global_init", lib.global_init);
  library.resolve("curl_easy_init", lib.easy_init);
  library.resolve("curl_easy_cleanup", lib.easy_cleanup);
  library.resolve("curl_easy_setopt", lib.easy_setopt);
  library.resolve("curl_easy_getinfo", lib.easy_getinfo);
  library.resolve("curl_easy_strerror", lib.easy_strerror);
  library.resolve("curl_multi_init", lib.multi_init);
  library.resolve("curl_multi_cleanup", lib.multi_cleanup);
  library.resolve("curl_multi_add_handle", lib.multi_add_handle);
  library.resolve("curl_multi_remove_handle", lib.multi_remove_handle);
  library.resolve("curl_multi_perform", lib.multi_perform);
  library.resolve("curl_multi_poll", lib.multi_poll);
  library.resolve("curl_multi_info_read", lib.multi_info_read);
  library.resolve("curl_multi_strerror", lib.multi_strerror);
  library.resolve("curl_slist_append", lib.slist_append);
  library.resolve("curl_slist_free_all", lib.slist_free_all);
  library.resolve("curl_url", lib.url);
  library.resolve("curl_url_cleanup", lib.url_cleanup);
  library.resolve("curl_url_set", lib.url_set);
  library.resolve("curl_url_get", lib.url_get);
  library.resolve("curl_free", lib.free);
  if (lib.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    throw std::runtime_error("Could not initialise the library " VELKO_CURL_SONAME);
  }
  return lib;
}

}  // namespace

const CurlLibrary& curl_library() {
  // A failed load throws out of the initialisation, so the next request tries again.
  static const CurlLibrary library = load();
  return library;
}

}  // namespace velko::http
