#include "common/http.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/curl_library.h"
#include "common/errors.h"

namespace velko::http {

namespace {

using Clock = std::chrono::steady_clock;

struct Transfer {
  Response response;
  std::size_t limit = 0;
  bool too_large = false;
  // Streaming: where the body goes, how much of it has gone, and the error that ended it.
  CURL* easy = nullptr;
  const BodyStream* stream = nullptr;
  std::size_t streamed = 0;
  long stream_status = -1;  // the answer's status, once its first piece has come
  std::exception_ptr stream_failure;
  Clock::time_point last_activity = Clock::now();
  curl_off_t last_up = 0;
  curl_off_t last_down = 0;
};

bool is_error_status(long status) { return status >= 400 && status <= 599; }

// A body sent from a BodySource: what has gone, and the error that ended it.
struct Upload {
  const BodySource* source = nullptr;
  BodyPieces pieces;
  std::uint64_t sent = 0;
  std::exception_ptr failure;
  Transfer* transfer = nullptr;
};

std::size_t on_upload(char* out, std::size_t size, std::size_t count, void* user) {
  auto* upload = static_cast<Upload*>(user);
  std::size_t n = static_cast<std::size_t>(
      std::min<std::uint64_t>(size * count, upload->source->size - upload->sent));
  if (n == 0) return 0;
  try {
    if (!upload->pieces) upload->pieces = upload->source->open();
    std::size_t got = upload->pieces(out, n);
    if (got == 0 || got > n) {
      throw std::logic_error("a request body ended after " + std::to_string(upload->sent) +
                             " of its " + std::to_string(upload->source->size) + " bytes");
    }
    upload->sent += got;
    upload->transfer->last_activity = Clock::now();
    return got;
  } catch (...) {
    // Errors must not cross libcurl; the transfer ends and the error is raised after it.
    upload->failure = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

// libcurl sends a body again from its start (a connection that closed before the answer is
// retried); the source starts over then. Other offsets are never asked for.
int on_upload_seek(void* user, curl_off_t offset, int origin) {
  auto* upload = static_cast<Upload*>(user);
  if (origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_CANTSEEK;
  upload->pieces = nullptr;
  upload->sent = 0;
  return CURL_SEEKFUNC_OK;
}

// A piece of a streamed answer: handed on, or kept when the status is an error.
std::size_t on_streamed_piece(Transfer* transfer, const char* data, std::size_t n) {
  if (transfer->stream_status < 0) {
    curl_library().easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &transfer->stream_status);
  }
  transfer->last_activity = Clock::now();
  if (is_error_status(transfer->stream_status)) {
    std::string& kept = transfer->response.body;
    std::size_t room = transfer->stream->max_kept_bytes - kept.size();
    kept.append(data, std::min(n, room));
    return n <= room ? n : 0;  // a cut body ends the transfer
  }
  if (transfer->streamed + n > transfer->limit) {
    transfer->too_large = true;
    return 0;
  }
  transfer->streamed += n;
  try {
    transfer->stream->on_piece(std::string_view(data, n));
  } catch (...) {
    // Errors must not cross libcurl; the transfer ends and the error is raised after it.
    transfer->stream_failure = std::current_exception();
    return 0;
  }
  return n;
}

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  std::size_t n = size * count;
  if (transfer->stream) return on_streamed_piece(transfer, data, n);
  if (transfer->response.body.size() + n > transfer->limit) {
    transfer->too_large = true;
    return 0;  // aborts the transfer
  }
  transfer->response.body.append(data, n);
  transfer->last_activity = Clock::now();
  return n;
}

int on_progress(void* user, curl_off_t, curl_off_t now_down, curl_off_t, curl_off_t now_up) {
  auto* transfer = static_cast<Transfer*>(user);
  if (now_down != transfer->last_down || now_up != transfer->last_up) {
    transfer->last_down = now_down;
    transfer->last_up = now_up;
    transfer->last_activity = Clock::now();
  }
  return 0;
}

std::string seconds_text(double seconds) {
  char buffer[32];
  if (seconds == std::floor(seconds)) {
    std::snprintf(buffer, sizeof buffer, "%.0f s", seconds);
  } else {
    std::snprintf(buffer, sizeof buffer, "%g s", seconds);
  }
  return buffer;
}

std::string size_text(std::size_t bytes) {
  if (bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_library().easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_library().multi_cleanup(multi); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_library().slist_free_all(list); }
};

}  // namespace

HTTPStatusError::HTTPStatusError(long status, std::string url, std::string body)
    : std::runtime_error([&] {
        std::string phrase = reason_phrase(status);
        return "HTTP " + std::to_string(status) + (phrase.empty() ? "" : " " + phrase) + " from " +
               url;
      }()),
      status_(status),
      url_(std::move(url)),
      body_(std::move(body)) {}

TransportError::TransportError(std::string url, const std::string& message)
    : std::runtime_error(message), url_(std::move(url)) {}

AnswerTooSlow::AnswerTooSlow(std::string url, std::string reason, const std::string& message)
    : TransportError(std::move(url), message), reason_(std::move(reason)) {}

bool is_loopback_url(const std::string& url) {
  const CurlLibrary* loaded = nullptr;
  try {
    loaded = &curl_library();
  } catch (const std::runtime_error&) {
    return false;
  }
  const CurlLibrary& curl = *loaded;
  std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl.url(), curl.url_cleanup);
  char* raw_host = nullptr;
  if (!parsed || curl.url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl.url_get(parsed.get(), CURLUPART_HOST, &raw_host, 0) != CURLUE_OK || !raw_host) {
    return false;
  }
  std::string host(raw_host);
  curl.free(raw_host);
  for (char& c : host) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (host == "localhost" || host.ends_with(".localhost")) return true;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    in6_addr v6{};
    return ::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6) == 1 &&
           IN6_IS_ADDR_LOOPBACK(&v6);
  }
  in_addr v4{};
  return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

namespace {

// perform() and perform_streaming(): `stream` is null for the former.
Response run_transfer(const Request& request, std::stop_token stop, const BodyStream* stream) {
  const CurlLibrary* loaded = nullptr;
  try {
    loaded = &curl_library();
  } catch (const std::runtime_error& error) {
    throw TransportError(request.url, "Could not reach " + request.url + ": " + error.what());
  }
  const CurlLibrary& curl = *loaded;
  std::unique_ptr<CURL, EasyDeleter> easy(curl.easy_init());
  std::unique_ptr<CURLM, MultiDeleter> multi(curl.multi_init());
  if (!easy || !multi) throw std::runtime_error("could not set up an HTTP transfer");

  Transfer transfer;
  transfer.limit = request.max_response_bytes;
  transfer.easy = easy.get();
  transfer.stream = stream;
  Upload upload;
  upload.transfer = &transfer;
  if (request.method != "GET" && request.body_source.open) upload.source = &request.body_source;
  curl_slist* raw_headers = nullptr;
  for (const auto& [name, value] : request.headers) {
    raw_headers = curl.slist_append(raw_headers, (name + ": " + value).c_str());
  }
  // libcurl would otherwise send "Expect: 100-continue" for large bodies and wait.
  raw_headers = curl.slist_append(raw_headers, "Expect:");
  std::unique_ptr<curl_slist, ListDeleter> headers(raw_headers);

  CURL* h = easy.get();
  curl.easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl.easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl.easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl.easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl.easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  // A server far away is asked to compress its answer; one on this machine is not.
  if (!is_loopback_url(request.url)) curl.easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  // An answer that announces a larger size is refused before its body is read.
  curl.easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                   static_cast<curl_off_t>(request.max_response_bytes));
  curl.easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
  curl.easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  curl.easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl.easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
  curl.easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  auto connect_ms = static_cast<long>(std::ceil(std::max(request.connect_timeout_s, 0.001) * 1000));
  curl.easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
  // A backstop in whole seconds behind the finer idle check below.
  curl.easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl.easy_setopt(h, CURLOPT_LOW_SPEED_TIME,
                   static_cast<long>(std::ceil(std::max(request.idle_timeout_s, 0.001))) + 1);
  if (request.method == "GET") {
    curl.easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else if (upload.source) {
    curl.easy_setopt(h, CURLOPT_POST, 1L);
    curl.easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl.easy_setopt(h, CURLOPT_READFUNCTION, on_upload);
    curl.easy_setopt(h, CURLOPT_READDATA, &upload);
    curl.easy_setopt(h, CURLOPT_SEEKFUNCTION, on_upload_seek);
    curl.easy_setopt(h, CURLOPT_SEEKDATA, &upload);
    curl.easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body_source.size));
  } else {
    curl.easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl.easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
    curl.easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  }

  curl.multi_add_handle(multi.get(), h);
  auto idle_limit = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(std::max(request.idle_timeout_s, 0.001)));
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                         std::clamp(request.total_timeout_s, 0.001, 1e9)));
  transfer.last_activity = Clock::now();
  CURLcode result = CURLE_OK;
  bool idle_timeout = false;
  bool past_deadline = false;
  bool connected = false;
  int running = 1;
  while (running) {
    if (stop.stop_requested()) {
      curl.multi_remove_handle(multi.get(), h);
      throw Interrupted{};
    }
    CURLMcode mc = curl.multi_perform(multi.get(), &running);
    if (mc != CURLM_OK) {
      curl.multi_remove_handle(multi.get(), h);
      throw TransportError(request.url,
                           "Could not reach " + request.url + ": " + curl.multi_strerror(mc));
    }
    if (!running) break;
    if (Clock::now() >= deadline) {
      past_deadline = true;
      break;
    }
    // The connection attempt has its own limit; once connected, a silence longer than the
    // idle limit ends the transfer.
    if (!connected) {
      curl_off_t connect_us = 0;
      curl.easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connect_us);
      if (connect_us > 0) {
        connected = true;
        transfer.last_activity = Clock::now();
      }
    } else if (Clock::now() - transfer.last_activity > idle_limit) {
      idle_timeout = true;
      break;
    }
    curl.multi_poll(multi.get(), nullptr, 0, 50, nullptr);
  }
  if (!idle_timeout && !past_deadline) {
    int left = 0;
    while (CURLMsg* message = curl.multi_info_read(multi.get(), &left)) {
      if (message->msg == CURLMSG_DONE) result = message->data.result;
    }
  }
  curl.multi_remove_handle(multi.get(), h);

  if (upload.failure) std::rethrow_exception(upload.failure);
  if (transfer.stream_failure) std::rethrow_exception(transfer.stream_failure);
  // A kept error body that was cut ended the transfer on purpose.
  bool cut = stream && is_error_status(transfer.stream_status) &&
             transfer.response.body.size() == stream->max_kept_bytes && result == CURLE_WRITE_ERROR;
  if (cut) result = CURLE_OK;
  if (transfer.too_large || result == CURLE_FILESIZE_EXCEEDED) {
    throw ResponseTooLarge(request.url, "The answer from " + request.url + " is larger than " +
                                            size_text(request.max_response_bytes) +
                                            "; it was not read");
  }
  if (past_deadline || idle_timeout) {
    std::string reason = past_deadline
                             ? "no complete answer within " + seconds_text(request.total_timeout_s)
                             : "no answer within " + seconds_text(request.idle_timeout_s);
    std::string message = "Could not reach " + request.url + ": " + reason;
    // Only a server that was reached answered too slowly.
    if (!connected) throw TransportError(request.url, message);
    throw AnswerTooSlow(request.url, std::move(reason), message);
  }
  if (result != CURLE_OK) {
    std::string reason = curl.easy_strerror(result);
    if (result == CURLE_OPERATION_TIMEDOUT) {
      reason = "no connection within " + seconds_text(request.connect_timeout_s);
    }
    throw TransportError(request.url, "Could not reach " + request.url + ": " + reason);
  }
  curl.easy_getinfo(h, CURLINFO_RESPONSE_CODE, &transfer.response.status);
  char* content_type = nullptr;
  curl.easy_getinfo(h, CURLINFO_CONTENT_TYPE, &content_type);
  if (content_type) transfer.response.content_type = content_type;
  return std::move(transfer.response);
}

}  // namespace

Response perform(const Request& request, std::stop_token stop) {
  return run_transfer(request, stop, nullptr);
}

Response perform_streaming(const Request& request, const BodyStream& stream, std::stop_token stop) {
  return run_transfer(request, stop, &stream);
}

void raise_for_status(const Response& response, const std::string& url) {
  if (response.status >= 400 && response.status <= 599) {
    throw HTTPStatusError(response.status, url, response.body);
  }
}

std::string reason_phrase(long status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 422:
      return "Unprocessable Entity";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "";
  }
}

void check_bearer_token(const std::optional<std::string>& token, std::string_view what) {
  if (!token) return;
  for (unsigned char ch : *token) {
    if (ch < 0x20 || ch == 0x7F) {
      throw std::invalid_argument(std::string(what) +
                                  " holds a control character; set it to the token text alone");
    }
  }
}

std::string percent_encode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  // "." and ".." as a path segment would be resolved away (by libcurl too, which drops them
  // with the segment before): encoded, they reach the server as the text they are.
  const bool dot_segment = text == "." || text == "..";
  std::string out;
  out.reserve(text.size());
  for (unsigned char ch : text) {
    bool unreserved = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                      (ch >= '0' && ch <= '9') || ch == '-' || (ch == '.' && !dot_segment) ||
                      ch == '_' || ch == '~';
    if (unreserved) {
      out.push_back(static_cast<char>(ch));
    } else {
      out.push_back('%');
      out.push_back(kHex[ch >> 4]);
      out.push_back(kHex[ch & 0xF]);
    }
  }
  return out;
}

}  // namespace velko::http
