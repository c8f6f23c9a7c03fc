// What the local stand-in servers share: decoding request targets, checking bearer tokens,
// JSON refusals, log lines, and running until SIGINT or SIGTERM.
#pragma once

#include <signal.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <httplib.h>

namespace velko::dev {

// A request that a server refuses: its status and the detail for the user.
class HttpRefusal : public std::runtime_error {
 public:
  HttpRefusal(int status, const std::string& detail)
      : std::runtime_error(detail), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// Decodes %XX escapes ('+' is a blank in a query when `plus_is_blank`). Throws HttpRefusal 400
// for broken escapes, ill-formed UTF-8 and NUL characters.
std::string percent_decode(std::string_view text, bool plus_is_blank = false);

// True for a hexadecimal digit.
bool is_hex_digit(char c);

// The path of a request target, without its query.
std::string_view target_path(std::string_view target);

// The path as log lines show it: raw, without the query, control characters replaced so that
// one request is one line.
std::string loggable_path(std::string_view target);

// Compares two secrets in a time that does not depend on where they differ.
bool same_secret(std::string_view a, std::string_view b);

enum class TokenCheck { kAccepted, kMissing, kWrong };

// Checks "Authorization: Bearer <token>" (the scheme in any letter case).
TokenCheck check_bearer(const httplib::Request& req, const std::string& token);

// Sends {"detail": ...} with a status.
void write_detail(httplib::Response& res, int status, const std::string& detail);

// Called with one log line.
using Log = std::function<void(const std::string&)>;

// Gives the server's own refusals (malformed requests, bodies and paths too large) and the
// handlers' unexpected errors a JSON detail, and logs each request (method, path, status)
// when `log` is set. `detail_for` may give a detail for a status, else a generic one is used;
// `who` names the service in the message of an unexpected error.
void install_common_handlers(httplib::Server& server, const std::string& who, const Log& log,
                             std::function<std::string(int status)> detail_for = nullptr);

// A log that writes lines to standard error, one writer at a time.
Log stderr_log();

// Blocks SIGINT and SIGTERM in this thread and every thread started after it, so that only
// wait_for_stop_signal() receives them. A shell starts background jobs with SIGINT ignored,
// and an ignored signal never reaches sigwait(): the default action is restored first.
sigset_t block_stop_signals();

// Waits for SIGINT or SIGTERM.
void wait_for_stop_signal(const sigset_t& signals);

}  // namespace velko::dev
