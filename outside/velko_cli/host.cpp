#include "outside/velko_cli/host.h"

#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/guidance_commands/commands.h"
#include "cli/guidance_commands/platform.h"
#include "common/errors.h"
#include "main/dataset_replay/components.h"
#include "outside/velko_api/client.h"
#include "outside/velko_cli/dataset.h"
#include "outside/velko_cli/sim_publish.h"
#include "outside/velko_cli/sim_module.h"
#include "outside/velko_core/core_library.h"
#include "outside/velko_core/sim_connection_impl.h"

namespace velko::host {

namespace {

// Connects the command modules to the real outside components.
void install_components() {
  guidance_commands::set_platform_factory(
      [](const std::string& url) -> std::unique_ptr<guidance_commands::Platform> {
        return std::make_unique<velko_api::ZARAvUziz>(url);
      });
  dataset_replay::Components report_run;
  report_run.dataset = std::make_shared<ComputeNodeDatasets>();
  report_run.core = std::make_shared<core::CoreLibraryImpl>();
  report_run.sim = std::make_shared<core::SimConnectionImpl>();
  report_run.sim_module = std::make_shared<cli::SimModuleImpl>();
  dataset_replay::install_components(std::move(report_run));
}

}  // namespace

int run(int argc, char** argv) {
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
  } catch (const Interrupted&) {
    std::cerr << "Interrupted\n";
    return kExitInterrupted;
  } catch (const std::exception& e) {
    std::cerr << "Error: " << e.what() << "\n";
    return kExitError;
  }
  return 0;
}

}  // namespace velko::host
