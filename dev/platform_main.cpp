// velko-dev-platform: runs the stand-in platform until SIGINT or SIGTERM.

#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "dev/dev_platform.h"
#include "dev/http_service.h"

int main(int argc, char** argv) {
  CLI::App app(
      "A local stand-in for the velko platform: an in-memory server with one organisation and "
      "the projects \"Water plant\" and \"Pump station\", for demos and tests. Prints "
      "\"velko-dev-platform listening on http://HOST:PORT\" once it serves; SIGINT or SIGTERM "
      "stop it.",
      "velko-dev-platform");
  velko::dev::ServiceCommandLine line;
  line.port = 8700;
  velko::dev::PlatformOptions options;
  std::string refusal;
  line.add_address_options(app);
  app.add_option("--max-lag-steps", options.max_lag_steps, "Lag steps handed out with every claim")
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
  line.add_access_options(app, "Require 'Authorization: Bearer TOKEN' on every /v1 request");
  CLI11_PARSE(app, argc, argv);

  if (!refusal.empty()) options.refuse_claims = refusal;
  options.token = line.given_token();
  options.log = line.log();
  return velko::dev::serve_until_stopped("velko-dev-platform", line, [&] {
    return std::make_unique<velko::dev::DevPlatform>(std::move(options));
  });
}
