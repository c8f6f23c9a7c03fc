#include "outside/dev_services/http_service.h"

#include <pthread.h>

#include <algorithm>
#include <iostream>
#include <mutex>

#include <boost/json/object.hpp>
#include <fmt/format.h>

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
  bool bearer = header.size() >= kScheme.size() &&
                std::equal(kScheme.begin(), kScheme.end(), header.begin(),
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
            case 400: detail = "The request is malformed"; break;
            case 413: detail = "The request body is too large"; break;
            case 414: detail = "The request path is too long"; break;
            default: detail = fmt::format("The request failed with status {}", res.status); break;
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

}  // namespace velko::dev
