#include "dev/node_stats.h"

#include <algorithm>
#include <cmath>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "dev/node_request.h"

namespace velko::dev {

namespace json = boost::json;

void CountedDatasets::add(const std::string& id) {
  std::lock_guard lock(mutex_);
  ids_.insert(id);
}

bool CountedDatasets::contains(const std::string& id) const {
  std::lock_guard lock(mutex_);
  return ids_.contains(id);
}

bool episode_count_known(const NodeDataset& dataset, const CountedDatasets& counted) {
  return dataset.stats || counted.contains(dataset.id);
}

json::value dataset_stats(const DatasetCatalog& catalog, std::string_view body,
                          CountedDatasets& counted) {
  json::object request = request_object(body);
  const json::value* uuid = request.if_contains("dataset_uuid");
  if (!uuid || !uuid->is_string()) wrong_member("\"dataset_uuid\"", "a text", uuid);
  const NodeDataset* dataset = catalog.by_id(uuid->get_string());
  if (!dataset) {
    throw NodeRefusal(
        404, "There is no dataset with the id " + shown(uuid->get_string()) + " on this node");
  }

  json::array columns;
  for (const NodeColumn& column : dataset->columns) {
    std::size_t count = 0;
    double low = 0;
    double high = 0;
    // Wide enough that no sum of finite doubles overflows.
    long double sum = 0;
    for (double value : column.values) {
      if (std::isnan(value)) continue;
      low = count == 0 ? value : std::min(low, value);
      high = count == 0 ? value : std::max(high, value);
      sum += value;
      ++count;
    }
    json::object figures;
    figures["id"] = column.id;
    figures["name"] = column.raw_name;
    figures["role"] = column.role == ColumnRole::kSensor ? "sensor" : "action";
    figures["count"] = count;
    figures["nulls"] = column.values.size() - count;
    figures["min"] = count ? json::value(low) : json::value(nullptr);
    figures["max"] = count ? json::value(high) : json::value(nullptr);
    figures["mean"] = count
                          ? json::value(static_cast<double>(sum / static_cast<long double>(count)))
                          : json::value(nullptr);
    columns.push_back(std::move(figures));
  }
  counted.add(dataset->id);

  json::object answer;
  answer["dataset_id"] = dataset->id;
  answer["name"] = dataset->name;
  answer["episodes"] = dataset->episodes.size();
  answer["rows"] = dataset->rows;
  answer["columns"] = std::move(columns);
  return answer;
}

}  // namespace velko::dev
