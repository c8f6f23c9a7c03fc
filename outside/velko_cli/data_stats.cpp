#include "outside/velko_cli/data_stats.h"

#include <memory>

#include <boost/json/object.hpp>
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "common/async.h"
#include "common/errors.h"
#include "common/json_access.h"
#include "common/literal.h"
#include "main/dataset_replay/node_requests.h"
#include "outside/velko_api/client.h"
#include "outside/velko_cli/dataset.h"
#include "outside/velko_cli/host.h"
#include "outside/velko_core/settings.h"

namespace velko::host {

namespace json = boost::json;

namespace {

constexpr std::string_view kWhat = "the compute node's dataset figures";
constexpr std::string_view kColumnWhat = "a column of the compute node's dataset figures";
// Most columns that an answer may list.
constexpr std::size_t kMaxColumns = 100'000;

std::string text_of(const json::value& map, std::string_view key, std::string_view what) {
  const json::value& value = json_access::at(map, key, what);
  if (!value.is_string()) json_access::wrong_type(what, key, "a text", value);
  return std::string(value.get_string());
}

std::int64_t count_of(const json::value& map, std::string_view key, std::string_view what) {
  const json::value& value = json_access::at(map, key, what);
  if (value.is_int64() && value.get_int64() >= 0) return value.get_int64();
  json_access::wrong_type(what, key, "a whole number of at least 0", value);
}

std::optional<double> number_of(const json::value& map, std::string_view key,
                                std::string_view what) {
  const json::value* value = json_access::find(map, key, what);
  if (json_access::is_none(value)) return std::nullopt;
  if (!value->is_number()) json_access::wrong_type(what, key, "a number or null", *value);
  return value->to_number<double>();
}

// A figure as a cell shows it: recorded values in their shortest form, means to six digits.
std::string figure(const std::optional<double>& value, bool rounded) {
  if (!value) return "-";
  return rounded ? fmt::format("{:.6g}", *value) : float_repr(*value);
}

std::string cell(const std::string& text) { return escape_markup(printable(text)); }

awaitable<void> stats(const core::Settings& settings, Console& console, std::string ref) {
  // A token that would break its header line is refused before anything is sent.
  check_node_token(settings.node_token);
  ComputeNodeDatasets datasets(settings.compute_url, settings.node_token);
  // The dataset lookup of the report run, which makes no platform request: the client it is
  // handed is never called, so it carries no token.
  velko_api::Client api(settings.url_api);
  dataset_replay::LocalDataset dataset = co_await datasets.resolve_local_dataset(api, "", ref);
  auto body = std::make_shared<json::object>();
  (*body)["dataset_uuid"] = dataset.id;
  json::value answer;
  {
    auto line = console.status("Counting " + quoted(dataset.name) + " on the compute node...");
    answer = co_await dataset_replay::node_post(dataset_replay::compute_node(datasets),
                                                "dataset-stats", std::move(body), kStatsTimeoutS,
                                                "to count " + quoted(dataset.name));
  }
  DatasetFigures figures = figures_from_json(answer);
  console.print("[green]✓[/green] Counted " + cell(quoted(figures.name)) + ": " +
                std::to_string(figures.episodes) + " episodes, " + std::to_string(figures.rows) +
                " rows. The compute node knows its episode count from now on.");
  console.print_table(figures_table(figures));
}

}  // namespace

DatasetFigures figures_from_json(const json::value& answer) {
  json_access::as_map(answer, kWhat);
  DatasetFigures figures;
  figures.id = text_of(answer, "dataset_id", kWhat);
  figures.name = text_of(answer, "name", kWhat);
  figures.episodes = count_of(answer, "episodes", kWhat);
  figures.rows = count_of(answer, "rows", kWhat);
  const json::value& columns = json_access::at(answer, "columns", kWhat);
  if (!columns.is_array()) json_access::wrong_type(kWhat, "columns", "a list", columns);
  if (columns.get_array().size() > kMaxColumns) {
    throw BadAnswer("The compute node's dataset figures list more than " +
                    std::to_string(kMaxColumns) + " columns");
  }
  for (const json::value& entry : columns.get_array()) {
    json_access::as_map(entry, kColumnWhat);
    DatasetFigures::Column column;
    column.id = text_of(entry, "id", kColumnWhat);
    column.name = text_of(entry, "name", kColumnWhat);
    column.role = text_of(entry, "role", kColumnWhat);
    column.count = count_of(entry, "count", kColumnWhat);
    column.nulls = count_of(entry, "nulls", kColumnWhat);
    column.min = number_of(entry, "min", kColumnWhat);
    column.max = number_of(entry, "max", kColumnWhat);
    column.mean = number_of(entry, "mean", kColumnWhat);
    figures.columns.push_back(std::move(column));
  }
  return figures;
}

Table figures_table(const DatasetFigures& figures) {
  Table table{"Dataset " + cell(quoted(figures.name)),
              {"Column", "Role", "Count", "Nulls", "Min", "Max", "Mean"},
              {}};
  for (const DatasetFigures::Column& column : figures.columns) {
    table.rows.push_back({cell(column.name), cell(column.role), std::to_string(column.count),
                          std::to_string(column.nulls), figure(column.min, false),
                          figure(column.max, false), figure(column.mean, true)});
  }
  return table;
}

void add_data_commands(CLI::App& app, const core::Settings& settings, Console& console) {
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
      ->check(CLI::Validator(
          [](std::string& text) { return dataset_ref_problem(text).value_or(""); }, ""));
  command->callback([&settings, &console, ref] { async_to_sync(stats)(settings, console, *ref); });
}

}  // namespace velko::host
