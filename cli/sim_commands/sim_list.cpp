#include "cli/sim_commands/sim_list.h"

#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/sim_commands/command_options.h"
#include "common/async.h"
#include "common/console.h"
#include "host/host.h"
#include "host/settings.h"

namespace velko::sim_commands {

namespace {

// A build's status as the table shows it.
std::string status_cell(const std::string& status) {
  if (status == "READY") return "[green]ready[/green]";
  if (status == "ERROR") return "[red]failed[/red]";
  if (status == "BUILDING") return "building";
  return cell_text(status);
}

awaitable<void> list_sims(const host::Settings& settings, Console& console, std::string org) {
  platform::Client api(settings.url_api, settings.api_token, settings.project);
  std::string org_id = co_await organisation(api, org, settings.org);
  std::vector<platform::SimSummary> sims = co_await api.list_sims(org_id);
  if (sims.empty()) {
    console.print("The organisation has no sims yet; publish one with `velko sim publish PATH "
                  "--dataset REF`.");
    co_return;
  }
  console.print_table(sims_table(sims));
}

}  // namespace

Table sims_table(const std::vector<platform::SimSummary>& sims) {
  Table table{"Sims", {"Name", "ID", "Latest build", "Status", "Mappings", "Use cases"}, {}};
  for (const platform::SimSummary& sim : sims) {
    std::string use_cases;
    for (const std::string& name : sim.use_cases) {
      if (!use_cases.empty()) use_cases += ", ";
      use_cases += name;
    }
    if (use_cases.empty()) use_cases = "-";
    const auto& build = sim.latest_build;
    table.rows.push_back({cell_text(sim.name), cell_text(sim.id),
                          build ? cell_text(build->id) : "-",
                          build ? status_cell(build->status) : "-",
                          build ? (build->mapped ? "saved" : "not saved") : "-",
                          cell_text(use_cases)});
  }
  return table;
}

void add_list_command(CLI::App& sim, const host::Settings& settings, Console& console) {
  auto org = std::make_shared<std::string>();
  CLI::App* command = sim.add_subcommand(
      "list", "List the organisation's sims on the platform: their latest build, its state and "
              "the use cases that use them");
  command->add_option("--org", *org,
                      "The organisation (default: VELKO_ORG, else that of your projects)");
  command->callback(
      [&settings, &console, org] { async_to_sync(list_sims)(settings, console, *org); });
}

}  // namespace velko::sim_commands
