#include "compute_node/dataset_stats.h"

#include <memory>

#include <boost/json/object.hpp>

#include "common/errors.h"
#include "common/json_access.h"
#include "common/literal.h"
#include "main/dataset_replay/node_requests.h"

namespace velko::compute_node {

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

awaitable<DatasetFigures> count_dataset(dataset_replay::DatasetModule& datasets,
                                        const dataset_replay::LocalDataset& dataset) {
  auto body = std::make_shared<json::object>();
  (*body)["dataset_uuid"] = dataset.id;
  json::value answer = co_await dataset_replay::node_post(
      dataset_replay::compute_node(datasets), "dataset-stats", std::move(body), kStatsTimeoutS,
      "to count " + quoted(dataset.name));
  co_return figures_from_json(answer);
}

}  // namespace velko::compute_node
