// velko-dev-platform: runs the stand-in platform until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include <CLI/CLI.hpp>

#include "outside/dev_services/dev_platform.h"

namespace {

// Blocks SIGINT and SIGTERM in this thread and in every thread started after it, so that
// only the sigwait() below receives them. A shell starts background jobs with SIGINT ignored,
// and an ignored signal never reaches sigwait(): the default action is restored first.
sigset_t block_stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
  return signals;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "A local stand-in for the velko platform: an in-memory server with one organisation and "
      "the projects \"Water plant\" and \"Pump station\", for demos and tests. Prints "
      "\"velko-dev-platform listening on http://HOST:PORT\" once it serves; SIGINT or SIGTERM "
      "stop it.",
      "velko-dev-platform");
  std::string host = "127.0.0.1";
  int port = 8700;
  velko::dev::PlatformOptions options;
  std::string refusal;
  std::string token;
  bool verbose = false;
  app.add_option("--host", host, "Address to listen on")->capture_default_str();
  app.add_option("--port", port, "Port to listen on; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--max-lag-steps", options.max_lag_steps,
                 "Lag steps handed out with every claim")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--build-seconds", options.build_seconds,
                 "Seconds from publishing a sim build until the build lands")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_flag("--fail-build", options.fail_build, "Builds fail when they land");
  app.add_option("--report-seconds", options.report_seconds,
                 "Seconds to write a report once it is submitted and the build has landed")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_flag("--stall-report", options.stall_report,
               "Reports are never written; they stay \"writing\"");
  app.add_option("--refuse-claims", refusal,
                 "Refuse every claim with status 409 and this text as detail")
      ->check([](const std::string& text) {
        return text.empty() ? std::string("the refusal text must not be empty") : std::string();
      });
  app.add_option("--token", token,
                 "Require 'Authorization: Bearer TOKEN' on every /v1 request")
      ->check([](const std::string& text) {
        return text.empty() ? std::string("the token must not be empty") : std::string();
      });
  app.add_flag("--verbose", verbose, "Log each request (method, path, status) to stderr");
  CLI11_PARSE(app, argc, argv);

  if (!refusal.empty()) options.refuse_claims = refusal;
  if (!token.empty()) options.token = token;
  if (verbose) {
    options.log = [](const std::string& line) {
      static std::mutex mutex;
      std::lock_guard lock(mutex);
      std::cerr << line << std::endl;
    };
  }

  sigset_t signals = block_stop_signals();
  try {
    velko::dev::DevPlatform platform(std::move(options));
    int bound = platform.start(host, port);
    std::cout << "velko-dev-platform listening on http://" << host << ":" << bound << std::endl;
    int received = 0;
    sigwait(&signals, &received);
    platform.stop();
  } catch (const std::exception& error) {
    std::cerr << "velko-dev-platform: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
