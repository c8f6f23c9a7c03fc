// What the local stand-in servers share: decoding request targets, checking bearer tokens,
// JSON refusals, log lines, serving on a thread of their own, and the command line and main
// function of their executables, which serve until SIGINT or SIGTERM.
#pragma once

#include <signal.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <httplib.h>

namespace CLI {
class App;
}

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

// Refuses a request before its body is read: sends {"detail": ...} with a status and closes
// the connection, so that a body still on its way is not taken for the next request.
httplib::Server::HandlerResponse refuse_early(httplib::Response& res, int status,
                                              const std::string& detail);

// Refuses with 401 and "WWW-Authenticate: Bearer" a request whose bearer token is missing
// (`missing` is the detail) or wrong (`wrong`); unhandled when the token is accepted.
httplib::Server::HandlerResponse refuse_unless_token(const httplib::Request& req,
                                                     httplib::Response& res,
                                                     const std::string& token,
                                                     const std::string& missing,
                                                     const std::string& wrong);

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

// A stand-in service: answers on its own threads between start() and stop().
class Service {
 public:
  virtual ~Service() = default;
  // Starts serving on host:port (port 0 picks a free one) and returns the bound port once
  // requests are answered. Throws std::runtime_error when the address cannot be bound.
  virtual int start(const std::string& host, int port) = 0;
  // Stops serving and waits for the server's threads; harmless when not serving.
  virtual void stop() = 0;
};

// One HTTP server that serves on a thread of its own between start() and stop(), as each
// Service does: bound with SO_REUSEADDR only, idle connections kept 2 seconds.
class BackgroundServer {
 public:
  // `who` names the service in messages ("platform", "compute node"); `install` sets up the
  // handlers and bounds of each fresh server before it binds.
  BackgroundServer(std::string who, std::function<void(httplib::Server&)> install);
  ~BackgroundServer();
  BackgroundServer(const BackgroundServer&) = delete;
  BackgroundServer& operator=(const BackgroundServer&) = delete;

  // As Service::start; throws std::logic_error when serving already.
  int start(const std::string& host, int port);
  // As Service::stop.
  void stop();

 private:
  std::string who_;
  std::function<void(httplib::Server&)> install_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
};

// The options that every stand-in service's command line has, and their values.
struct ServiceCommandLine {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string token;
  bool verbose = false;

  // Adds --host and --port (with `port` as its default), the first options of the help.
  void add_address_options(CLI::App& app);
  // Adds --token, described by `token_help`, and --verbose, the last options of the help.
  void add_access_options(CLI::App& app, const std::string& token_help);
  // The token of --token, if given.
  std::optional<std::string> given_token() const;
  // The log of --verbose, to standard error; empty without it.
  Log log() const;
};

// The rest of a stand-in service's main function once its command line is read: blocks the
// stop signals, makes the service with `make`, starts it on host:port, prints "<program>
// listening on http://HOST:PORT" on standard output, serves until SIGINT or SIGTERM and stops.
// Returns the exit status: 0 once stopped, 1 when the service cannot be made or started,
// after "<program>: <error>" on standard error.
int serve_until_stopped(const std::string& program, const ServiceCommandLine& line,
                        const std::function<std::unique_ptr<Service>()>& make);

}  // namespace velko::dev
