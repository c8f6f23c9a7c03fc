// A small blocking HTTP client over libcurl, shared by the platform client and the
// compute-node requests. Answers are bounded in size; transfers can be stopped at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velko::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

// Yields a request body's next bytes: fills up to `n` bytes at `out` and returns how many, 0
// only at the body's end.
using BodyPieces = std::function<std::size_t(char* out, std::size_t n)>;

// A request body made as it is sent rather than held as one text.
struct BodySource {
  // The body's exact size in bytes, announced before any of it is sent.
  std::uint64_t size = 0;
  // Yields the body's pieces from its first byte; called again when the body must be sent
  // again from its start.
  std::function<BodyPieces()> open;
};

struct Request {
  std::string method = "GET";
  std::string url;
  Headers headers;
  std::string body;
  // When it is set (its `open` is not empty), the body sent instead of `body`. A body that
  // ends before its announced size, or a piece that throws, ends the transfer with that error.
  BodySource body_source;
  // Bounds the connection attempt.
  double connect_timeout_s = 30;
  // Bounds each wait for data (sending or receiving), not the whole transfer.
  double idle_timeout_s = 60;
  // Bounds the whole request, from the connection attempt to the answer's last byte, so that
  // a server that trickles its answer cannot hold the caller for ever.
  double total_timeout_s = 300;
  // Largest answer body that is read.
  std::size_t max_response_bytes = 64u << 20;
};

struct Response {
  long status = 0;
  std::string body;
  std::string content_type;
};

// An answer with a status from 400 to 599. The message names the status and the URL.
class HTTPStatusError : public std::runtime_error {
 public:
  HTTPStatusError(long status, std::string url, std::string body);
  long status() const { return status_; }
  const std::string& url() const { return url_; }
  const std::string& body() const { return body_; }

 private:
  long status_;
  std::string url_;
  std::string body_;
};

// The server could not be reached, the connection broke, or a time limit ran out.
class TransportError : public std::runtime_error {
 public:
  TransportError(std::string url, const std::string& message);
  const std::string& url() const { return url_; }

 private:
  std::string url_;
};

// The server was reached but did not answer in time: it fell silent for longer than the idle
// limit, or its answer did not end within the whole request's bound. The request may have
// reached the server, and what it asked for may have been done.
class AnswerTooSlow : public TransportError {
 public:
  AnswerTooSlow(std::string url, std::string reason, const std::string& message);
  // What ran out, such as "no complete answer within 300 s".
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

// The answer was larger than the request allows.
class ResponseTooLarge : public TransportError {
 public:
  using TransportError::TransportError;
};

// Performs one request and returns the answer whatever its status. Throws TransportError
// (or AnswerTooSlow, ResponseTooLarge), and Interrupted when `stop` is requested during the
// transfer.
Response perform(const Request& request, std::stop_token stop = {});

// What perform_streaming does with an answer's body.
struct BodyStream {
  // Receives the body of an answer whose status is not from 400 to 599, piece by piece as it
  // arrives. An error that it throws ends the transfer and leaves perform_streaming.
  std::function<void(std::string_view piece)> on_piece;
  // The body of an answer with a status from 400 to 599 is kept in Response::body, up to
  // this many bytes: the transfer ends there and the body is cut.
  std::size_t max_kept_bytes = std::size_t{1} << 20;
};

// Performs one request as perform() does, but hands the body to `stream` as it arrives
// rather than keeping it, so that a large answer is never held whole. The request's
// max_response_bytes bounds the bytes handed on as it bounds perform()'s body.
Response perform_streaming(const Request& request, const BodyStream& stream,
                           std::stop_token stop = {});

// True when `url`'s host is this machine's loopback interface (localhost, 127.0.0.0/8, ::1).
// Answers from there are not asked to be compressed: over loopback compression only costs
// time (the development node took 130-200 ms to answer 62 KB compressed with brotli, 1-10 ms
// as it is).
bool is_loopback_url(const std::string& url);

// Raises HTTPStatusError for a status from 400 to 599.
void raise_for_status(const Response& response, const std::string& url);

// The reason phrase of a status code ("Not Found"), or an empty text.
std::string reason_phrase(long status);

// Refuses, with std::invalid_argument naming `what` (such as "The platform token
// (VELKO_API_TOKEN)") but never the token, a bearer token that holds a control character of
// ASCII: it goes into a header line, which such a character would end. No token passes.
void check_bearer_token(const std::optional<std::string>& token, std::string_view what);

// Percent-encodes a path segment or a query value (RFC 3986 unreserved characters stay, save
// the dots of a segment "." or "..", which become %2E).
std::string percent_encode(std::string_view text);

}  // namespace velko::http
