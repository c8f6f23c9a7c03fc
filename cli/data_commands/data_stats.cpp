#include "cli/data_commands/data_stats.h"

#include <memory>
#include <optional>

#include <fmt/format.h>
#include <CLI/CLI.hpp>
#include <boost/json.hpp>

#include "cli/sim_commands/command_options.h"
#include "common/async.h"
#include "common/errors.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "compute_node/dataset.h"
#include "compute_node/dataset_stats.h"
#include "host/host.h"
#include "host/settings.h"

namespace velko::data_commands {

namespace {

// A figure as a cell shows it: recorded values in their shortest form, means to six digits.
std::string figure(const std::optional<double>& value, bool rounded) {
  if (!value) return "-";
  return rounded ? fmt::format("{:.6g}", *value) : float_repr(*value);
}

// A figure as JSON: a number, or null without one.
boost::json::value figure_json(const std::optional<double>& value) {
  return value ? boost::json::value(*value) : boost::json::value(nullptr);
}

// The figures as one JSON object, for a program to read.
boost::json::object figures_json(const compute_node::DatasetFigures& figures) {
  boost::json::array columns;
  for (const compute_node::DatasetFigures::Column& column : figures.columns) {
    columns.push_back(boost::json::object{{"id", column.id},
                                          {"name", column.name},
                                          {"role", column.role},
                                          {"count", column.count},
                                          {"nulls", column.nulls},
                                          {"min", figure_json(column.min)},
                                          {"max", figure_json(column.max)},
                                          {"mean", figure_json(column.mean)}});
  }
  return {{"dataset", boost::json::object{{"id", figures.id}, {"name", figures.name}}},
          {"episodes", figures.episodes},
          {"rows", figures.rows},
          {"columns", std::move(columns)}};
}

awaitable<void> stats(const host::Settings& settings, Console& console, std::string ref,
                      bool as_json) {
  // With --json, standard output holds the object alone: the rest goes to standard error.
  std::optional<Console> progress;
  if (as_json) progress.emplace(/*to_stderr=*/true, settings.color);
  Console& messages = as_json ? *progress : console;
  // A token that would break its header line is refused before anything is sent.
  compute_node::check_node_token(settings.node_token);
  compute_node::ComputeNodeDatasets datasets(settings.compute_url, settings.node_token);
  // The dataset lookup of the report run.
  dataset_replay::LocalDataset dataset = co_await datasets.resolve_local_dataset(ref);
  compute_node::DatasetFigures figures;
  {
    auto line = messages.status("Counting " + quoted(dataset.name) + " on the compute node...");
    figures = co_await compute_node::count_dataset(datasets, dataset);
  }
  messages.print("[green]✓[/green] Counted " + cell_text(quoted(figures.name)) + ": " +
                 std::to_string(figures.episodes) + " episodes, " + std::to_string(figures.rows) +
                 " rows. The compute node knows its episode count from now on.");
  if (as_json) {
    console.print(escape_markup(json_text::to_json(figures_json(figures))));
  } else {
    console.print_table(figures_table(figures));
  }
}

}  // namespace

Table figures_table(const compute_node::DatasetFigures& figures) {
  Table table{"Dataset " + cell_text(quoted(figures.name)),
              {"Column", "Role", "Count", "Nulls", "Min", "Max", "Mean"},
              {}};
  for (const compute_node::DatasetFigures::Column& column : figures.columns) {
    table.rows.push_back({cell_text(column.name), cell_text(column.role),
                          std::to_string(column.count), std::to_string(column.nulls),
                          figure(column.min, false), figure(column.max, false),
                          figure(column.mean, true)});
  }
  return table;
}

void add_data_commands(CLI::App& app, const host::Settings& settings, Console& console) {
  CLI::App* data = app.add_subcommand("data", "Datasets on the local compute node");
  data->require_subcommand(1);
  auto ref = std::make_shared<std::string>();
  auto as_json = std::make_shared<bool>(false);
  CLI::App* command = data->add_subcommand(
      "stats",
      "Have the compute node count a dataset (episodes, rows, and per column: values, nulls, "
      "minimum, maximum, mean); from then on the node knows its episode count, which "
      "`velko sim publish --dataset` needs");
  command->add_option("ref", *ref, "The dataset's id or name on the compute node")
      ->required()
      ->check(sim_commands::dataset_ref_check());
  command->add_flag("--json", *as_json,
                    "Print one JSON object (the dataset's figures) instead of the table; "
                    "messages go to standard error");
  command->callback([&settings, &console, ref, as_json] {
    async_to_sync(stats)(settings, console, *ref, *as_json);
  });
}

}  // namespace velko::data_commands
