#include "cli/sim_commands/sim_list.h"

#include <memory>
#include <string>

#include <CLI/CLI.hpp>
#include <boost/json.hpp>

#include "cli/sim_commands/command_options.h"
#include "common/async.h"
#include "common/console.h"
#include "common/json_text.h"
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

// The sims as one JSON object, for a program to read.
boost::json::object sims_json(const std::string& org_id,
                              const std::vector<platform::SimSummary>& sims) {
  boost::json::array listed;
  for (const platform::SimSummary& sim : sims) {
    boost::json::array use_cases;
    for (const std::string& name : sim.use_cases) use_cases.emplace_back(name);
    boost::json::value build = nullptr;
    if (sim.latest_build) {
      build = boost::json::object{{"id", sim.latest_build->id},
                                  {"status", sim.latest_build->status},
                                  {"mappings_saved", sim.latest_build->mapped}};
    }
    listed.push_back(boost::json::object{{"name", sim.name},
                                         {"id", sim.id},
                                         {"latest_build", std::move(build)},
                                         {"use_cases", std::move(use_cases)}});
  }
  return {{"organisation", org_id}, {"sims", std::move(listed)}};
}

awaitable<void> list_sims(const host::Settings& settings, Console& console, std::string org,
                          bool as_json) {
  platform::Client api(settings.url_api, settings.api_token, settings.project);
  std::string org_id = co_await organisation(api, org, settings.org);
  std::vector<platform::SimSummary> sims = co_await api.list_sims(org_id);
  if (as_json) {
    console.print(escape_markup(json_text::to_json(sims_json(org_id, sims))));
    co_return;
  }
  if (sims.empty()) {
    console.print(
        "The organisation has no sims yet; publish one with `velko sim publish PATH "
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
    table.rows.push_back(
        {cell_text(sim.name), cell_text(sim.id), build ? cell_text(build->id) : "-",
         build ? status_cell(build->status) : "-",
         build ? (build->mapped ? "saved" : "not saved") : "-", cell_text(use_cases)});
  }
  return table;
}

void add_list_command(CLI::App& sim, const host::Settings& settings, Console& console) {
  auto org = std::make_shared<std::string>();
  auto as_json = std::make_shared<bool>(false);
  CLI::App* command = sim.add_subcommand(
      "list",
      "List the organisation's sims on the platform: their latest build, its state and "
      "the use cases that use them");
  command->add_option("--org", *org,
                      "The organisation (default: VELKO_ORG, else that of your projects)");
  command->add_flag("--json", *as_json,
                    "Print one JSON object (the organisation and its sims) instead of the table");
  command->callback([&settings, &console, org, as_json] {
    async_to_sync(list_sims)(settings, console, *org, *as_json);
  });
}

}  // namespace velko::sim_commands
