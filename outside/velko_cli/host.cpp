#include "outside/velko_cli/host.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string_view>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/guidance_commands/commands.h"
#include "cli/guidance_commands/platform.h"
#include "common/errors.h"
#include "main/dataset_replay/components.h"
#include "outside/velko_api/client.h"
#include "outside/velko_cli/dataset.h"
#include "outside/velko_cli/sim_publish.h"
#include "outside/velko_core/core_library.h"

namespace velko::host {

namespace {

// An error message as it may be shown on a terminal: control characters other than line
// breaks and tabs (which a sim's output could carry) are written as \xNN.
std::string printable(std::string_view message) {
  std::string out;
  out.reserve(message.size());
  for (std::size_t i = 0; i < message.size(); ++i) {
    auto ch = static_cast<unsigned char>(message[i]);
    bool c1 = ch == 0xC2 && i + 1 < message.size() &&
              static_cast<unsigned char>(message[i + 1]) >= 0x80 &&
              static_cast<unsigned char>(message[i + 1]) <= 0x9F;
    if ((ch < 0x20 && ch != '\n' && ch != '\t') || ch == 0x7F || c1) {
      unsigned value = c1 ? static_cast<unsigned char>(message[++i]) : ch;
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", value);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(ch));
    }
  }
  return out;
}

// Connects the command modules to the real outside components.
void install_components() {
  guidance_commands::set_platform_factory(
      [](const std::string& url) -> std::unique_ptr<guidance_commands::Platform> {
        return std::make_unique<velko_api::ZARAvUziz>(url);
      });
  dataset_replay::Components report_run;
  report_run.dataset = std::make_shared<ComputeNodeDatasets>();
  report_run.core = std::make_shared<core::CoreLibraryImpl>();
  // The sim connection is loaded by the commands that run a sim (it brings gRPC).
  dataset_replay::install_components(std::move(report_run));
}

}  // namespace

int run(int argc, char** argv) {
  // A reader of our output that went away (a pipe to a closed terminal's `tee`) makes a write
  // fail; it must not kill velko before it has closed its claim and stopped its sim.
  ::signal(SIGPIPE, SIG_IGN);
  install_components();
  CLI::App app("The command-line client of the velko sim platform.", "velko");
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Show the help of every command");

  std::shared_ptr<CLI::App> guidance = guidance_commands::cli();
  guidance->name("guidance");
  guidance->description("Guidance items of a project: goals, constraints, success criteria, rewards");
  guidance->require_subcommand(1);
  app.add_subcommand(guidance);
  add_sim_commands(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {
    return e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  } catch (const Interrupted& interrupt) {
    std::cerr << "Interrupted\n";
    return interrupt.signal == SIGHUP ? kExitHangUp : kExitInterrupted;
  } catch (const std::exception& e) {
    std::cerr << "Error: " << printable(e.what()) << "\n";
    return kExitError;
  }
  return 0;
}

}  // namespace velko::host
