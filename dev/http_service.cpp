#include "dev/http_service.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <mutex>

#include <fmt/format.h>
#include <CLI/CLI.hpp>
#include <boost/json/object.hpp>

#include "common/json_text.h"
#include "common/literal.h"
#include "common/unicode.h"

namespace velko::dev {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool is_hex_digit(char c) { return hex_value(c) >= 0; }

std::string percent_decode(std::string_view text, bool plus_is_blank) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
      int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
      if (high < 0 || low < 0) {
        throw HttpRefusal(400, "The request target holds a broken percent escape near " +
                                   velko::quoted(text.substr(i, 3)));
      }
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else if (c == '+' && plus_is_blank) {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  if (unicode::invalid_utf8_at(out) || out.find('\0') != std::string::npos) {
    throw HttpRefusal(400, "The request target holds an escape that is not a UTF-8 text");
  }
  return out;
}

std::string_view target_path(std::string_view target) { return target.substr(0, target.find('?')); }

std::string loggable_path(std::string_view target) {
  std::string path(target_path(target));
  for (char& c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return path;
}

bool same_secret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

TokenCheck check_bearer(const httplib::Request& req, const std::string& token) {
  std::string header = req.get_header_value("Authorization");
  constexpr std::string_view kScheme = "bearer ";
  bool bearer =
      header.size() >= kScheme.size() && std::equal(kScheme.begin(), kScheme.end(), header.begin(),
                                                    [](char a, char b) { return a == (b | 0x20); });
  if (!bearer) return TokenCheck::kMissing;
  return same_secret(std::string_view(header).substr(kScheme.size()), token) ? TokenCheck::kAccepted
                                                                             : TokenCheck::kWrong;
}

void write_detail(httplib::Response& res, int status, const std::string& detail) {
  boost::json::object body;
  body["detail"] = detail;
  res.status = status;
  res.set_content(json_text::to_json(body), "application/json");
}

httplib::Server::HandlerResponse refuse_early(httplib::Response& res, int status,
                                              const std::string& detail) {
  res.set_header("Connection", "close");
  write_detail(res, status, detail);
  return httplib::Server::HandlerResponse::Handled;
}

httplib::Server::HandlerResponse refuse_unless_token(const httplib::Request& req,
                                                     httplib::Response& res,
                                                     const std::string& token,
                                                     const std::string& missing,
                                                     const std::string& wrong) {
  TokenCheck check = check_bearer(req, token);
  if (check == TokenCheck::kAccepted) return httplib::Server::HandlerResponse::Unhandled;
  res.set_header("WWW-Authenticate", "Bearer");
  return refuse_early(res, 401, check == TokenCheck::kMissing ? missing : wrong);
}

void install_common_handlers(httplib::Server& server, const std::string& who, const Log& log,
                             std::function<std::string(int)> detail_for) {
  server.set_error_handler(httplib::Server::HandlerWithResponse(
      [detail_for](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty() || res.content_length_ > 0) {
          return httplib::Server::HandlerResponse::Unhandled;
        }
        std::string detail = detail_for ? detail_for(res.status) : std::string();
        if (detail.empty()) {
          switch (res.status) {
            case 400:
              detail = "The request is malformed";
              break;
            case 413:
              detail = "The request body is too large";
              break;
            case 414:
              detail = "The request path is too long";
              break;
            default:
              detail = fmt::format("The request failed with status {}", res.status);
              break;
          }
        }
        write_detail(res, res.status, detail);
        return httplib::Server::HandlerResponse::Handled;
      }));
  server.set_exception_handler(
      [who](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        std::string what = "unknown error";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        write_detail(res, 500, "The " + who + " failed to answer: " + what);
      });
  if (log) {
    server.set_logger([log](const httplib::Request& req, const httplib::Response& res) {
      log(fmt::format("{} {} {}", req.method, loggable_path(req.target), res.status));
    });
  }
}

Log stderr_log() {
  return [](const std::string& line) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::cerr << line << std::endl;
  };
}

sigset_t block_stop_signals() {
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

void wait_for_stop_signal(const sigset_t& signals) {
  int received = 0;
  sigwait(&signals, &received);
}

BackgroundServer::BackgroundServer(std::string who, std::function<void(httplib::Server&)> install)
    : who_(std::move(who)), install_(std::move(install)) {}

BackgroundServer::~BackgroundServer() { stop(); }

int BackgroundServer::start(const std::string& host, int port) {
  if (port < 0 || port > 65535) throw std::invalid_argument("The port must be from 0 to 65535");
  if (server_) throw std::logic_error("The " + who_ + " is serving already");
  auto server = std::make_unique<httplib::Server>();
  // The server's default also sets SO_REUSEPORT, with which a second server on a busy port
  // binds silently and takes a share of its requests. An answer leaves in pieces (its
  // headers, then its body): without TCP_NODELAY, which the accepted connections take from
  // the listening socket, the body of an answer on a kept-alive connection waited for the
  // client's delayed acknowledgement of the headers (4 of 10 answers of 62 KB took 41-52 ms
  // instead of 0.6 ms).
  server->set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  });
  server->set_keep_alive_timeout(2);
  install_(*server);
  int bound =
      port == 0 ? server->bind_to_any_port(host) : (server->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    throw std::runtime_error(fmt::format(
        "Cannot listen on {}:{}: the address is not available or the port is in use", host, port));
  }
  httplib::Server* raw = server.get();
  server_ = std::move(server);
  thread_ = std::thread([raw] { raw->listen_after_bind(); });
  // The server has no "ready" signal of its own.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!raw->is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      stop();
      throw std::runtime_error(
          fmt::format("The {} did not start serving on {}:{}", who_, host, bound));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return bound;
}

void BackgroundServer::stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

void ServiceCommandLine::add_address_options(CLI::App& app) {
  app.add_option("--host", host, "Address to listen on")->capture_default_str();
  app.add_option("--port", port, "Port to listen on; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
}

void ServiceCommandLine::add_access_options(CLI::App& app, const std::string& token_help) {
  app.add_option("--token", token, token_help)->check([](const std::string& text) {
    return text.empty() ? std::string("the token must not be empty") : std::string();
  });
  app.add_flag("--verbose", verbose, "Log each request (method, path, status) to stderr");
}

std::optional<std::string> ServiceCommandLine::given_token() const {
  if (token.empty()) return std::nullopt;
  return token;
}

Log ServiceCommandLine::log() const { return verbose ? stderr_log() : Log(); }

int serve_until_stopped(const std::string& program, const ServiceCommandLine& line,
                        const std::function<std::unique_ptr<Service>()>& make) {
  sigset_t signals = block_stop_signals();
  try {
    std::unique_ptr<Service> service = make();
    int bound = service->start(line.host, line.port);
    std::cout << program << " listening on http://" << line.host << ":" << bound << std::endl;
    wait_for_stop_signal(signals);
    service->stop();
  } catch (const std::exception& error) {
    std::cerr << program << ": " << error.what() << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace velko::dev
