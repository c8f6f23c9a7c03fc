// velko-dev-platform: runs the stand-in platform until SIGINT or SIGTERM.

#include <cstdio>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "outside/dev_services/dev_platform.h"
#include "outside/dev_services/http_service.h"

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
    options.log = velko::dev::stderr_log();
  }

  sigset_t signals = velko::dev::block_stop_signals();
  try {
    velko::dev::DevPlatform platform(std::move(options));
    int bound = platform.start(host, port);
    std::cout << "velko-dev-platform listening on http://" << host << ":" << bound << std::endl;
    velko::dev::wait_for_stop_signal(signals);
    platform.stop();
  } catch (const std::exception& error) {
    std::cerr << "velko-dev-platform: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
