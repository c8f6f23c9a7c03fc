#include "cli/data_commands/data_stats.h"

#include <memory>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "cli/sim_commands/command_options.h"
#include "common/async.h"
#include "common/errors.h"
#include "common/literal.h"
#include "compute_node/dataset.h"
#include "compute_node/dataset_stats.h"
#include "host/host.h"
#include "host/settings.h"
#include "platform/client.h"

namespace velko::data_commands {

namespace {

// A figure as a cell shows it: recorded values in their shortest form, means to six digits.
std::string figure(const std::optional<double>& value, bool rounded) {
  if (!value) return "-";
  return rounded ? fmt::format("{:.6g}", *value) : float_repr(*value);
}

awaitable<void> stats(const host::Settings& settings, Console& console, std::string ref) {
  // A token that would break its header line is refused before anything is sent.
  compute_node::check_node_token(settings.node_token);
  compute_node::ComputeNodeDatasets datasets(settings.compute_url, settings.node_token);
  // The dataset lookup of the report run, which makes no platform request: the client it is
  // handed is never called, so it carries no token.
  platform::Client api(settings.url_api);
  dataset_replay::LocalDataset dataset = co_await datasets.resolve_local_dataset(api, "", ref);
  compute_node::DatasetFigures figures;
  {
    auto line = console.status("Counting " + quoted(dataset.name) + " on the compute node...");
    figures = co_await compute_node::count_dataset(datasets, dataset);
  }
  console.print("[green]✓[/green] Counted " + cell_text(quoted(figures.name)) + ": " +
                std::to_string(figures.episodes) + " episodes, " + std::to_string(figures.rows) +
                " rows. The compute node knows its episode count from now on.");
  console.print_table(figures_table(figures));
}

}  // namespace

Table figures_table(const compute_node::DatasetFigures& figures) {
  Table table{"Dataset " + cell_text(quoted(figures.name)),
              {"Column", "Role", "Count", "Nulls", "Min", "Max", "Mean"},
              {}};
  for (const compute_node::DatasetFigures::Column& column : figures.columns) {
    table.rows.push_back({cell_text(column.name), cell_text(column.role),
                          std::to_string(column.count), std::to_string(column.nulls), figure(column.min, false),
                          figure(column.max, false), figure(column.mean, true)});
  }
  return table;
}

void add_data_commands(CLI::App& app, const host::Settings& settings, Console& console) {
  CLI::App* data = app.add_subcommand("data", "Datasets on the local compute node");
  data->require_subcommand(1);
  auto ref = std::make_shared<std::string>();
  CLI::App* command = data->add_subcommand(
      "stats",
      "Have the compute node count a dataset (episodes, rows, and per column: values, nulls, "
      "minimum, maximum, mean); from then on the node knows its episode count, which "
      "`velko sim publish --dataset` needs");
  command->add_option("ref", *ref, "The dataset's id or name on the compute node")
      ->required()
      ->check(sim_commands::dataset_ref_check());
  command->callback([&settings, &console, ref] { async_to_sync(stats)(settings, console, *ref); });
}

}  // namespace velko::data_commands
