#include "dev/node_actions.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <vector>

#include <boost/json/value.hpp>

#include "common/json_text.h"
#include "common/literal.h"
#include "dev/node_request.h"

namespace velko::dev {

namespace json = boost::json;

namespace {

// The requested episode indexes (integers), checked against the dataset.
std::vector<std::size_t> requested_episodes(const json::array& episodes,
                                            const NodeDataset& dataset) {
  std::vector<std::size_t> indexes;
  std::vector<bool> asked(dataset.episodes.size(), false);
  for (const json::value& entry : episodes) {
    bool in_range = entry.is_int64()
                        ? entry.get_int64() >= 0 && static_cast<std::uint64_t>(entry.get_int64()) <
                                                        dataset.episodes.size()
                        : entry.get_uint64() < dataset.episodes.size();
    if (!in_range) {
      throw NodeRefusal(422, "Episode index " + json_text::to_json(entry) +
                                 " is out of range: " + quoted(dataset.name) + " has " +
                                 std::to_string(dataset.episodes.size()) +
                                 " episodes, indexed from 0");
    }
    auto index = static_cast<std::size_t>(entry.to_number<std::uint64_t>());
    if (asked[index]) {
      throw NodeRefusal(422, "Episode index " + std::to_string(index) + " is asked for twice");
    }
    asked[index] = true;
    indexes.push_back(index);
  }
  return indexes;
}

// Appends a recorded value: its number, or null when nothing was recorded.
void write_value(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "null";
  } else {
    json_text::write_double(out, value);
  }
}

// Appends a JSON list of texts.
void write_ids(std::string& out, const NodeDataset& dataset, ColumnRole role) {
  out.push_back('[');
  bool first = true;
  for (const NodeColumn& column : dataset.columns) {
    if (column.role != role) continue;
    if (!first) out.push_back(',');
    first = false;
    json_text::write_string(out, column.id);
  }
  out.push_back(']');
}

}  // namespace

std::string analysis_actions(const DatasetCatalog& catalog, std::string_view body) {
  json::object request = request_object(body);
  const json::value* uuid = request.if_contains("dataset_uuid");
  if (!uuid || !uuid->is_string()) wrong_member("\"dataset_uuid\"", "a text", uuid);
  const json::value* episodes = request.if_contains("episodes");
  if (!episodes || !episodes->is_array()) {
    wrong_member("\"episodes\"", "a list of zero-based episode indexes", episodes);
  }
  for (const json::value& entry : episodes->get_array()) {
    if (!entry.is_int64() && !entry.is_uint64()) {
      wrong_member("each entry of \"episodes\"", "an integer index", &entry);
    }
  }
  const NodeDataset* dataset = catalog.by_id(uuid->get_string());
  if (!dataset) {
    throw NodeRefusal(
        404, "There is no dataset with the id " + shown(uuid->get_string()) + " on this node");
  }
  std::vector<std::size_t> indexes = requested_episodes(episodes->get_array(), *dataset);

  std::vector<const NodeColumn*> actions;
  for (const NodeColumn& column : dataset->columns) {
    if (column.role == ColumnRole::kAction) actions.push_back(&column);
  }
  std::size_t values = 0;
  for (std::size_t index : indexes) values += dataset->episodes[index].rows * actions.size();
  std::string out;
  out.reserve(values * 12 + 4096);

  out += "{\"episodes\":[";
  for (std::size_t i = 0; i < indexes.size(); ++i) {
    std::size_t index = indexes[i];
    if (i > 0) out.push_back(',');
    out += "{\"episode\":";
    json_text::write(out, dataset->episode_identifier(index));
    out += ",\"n_rows\":";
    char digits[24];
    auto written = std::to_chars(digits, digits + sizeof digits, dataset->episodes[index].rows);
    out.append(digits, written.ptr);
    out += ",\"actions\":{";
    for (std::size_t a = 0; a < actions.size(); ++a) {
      if (a > 0) out.push_back(',');
      json_text::write_string(out, actions[a]->id);
      out += ":[";
      bool first = true;
      for (double value : dataset->values(*actions[a], index)) {
        if (!first) out.push_back(',');
        first = false;
        write_value(out, value);
      }
      out.push_back(']');
    }
    out += "}}";
  }
  out += "],\"sensor_variables\":";
  write_ids(out, *dataset, ColumnRole::kSensor);
  out += ",\"action_variables\":";
  write_ids(out, *dataset, ColumnRole::kAction);
  out += ",\"raw_names\":{";
  for (std::size_t c = 0; c < dataset->columns.size(); ++c) {
    if (c > 0) out.push_back(',');
    json_text::write_string(out, dataset->columns[c].id);
    out.push_back(':');
    json_text::write_string(out, dataset->columns[c].raw_name);
  }
  out += "}}";
  return out;
}

}  // namespace velko::dev
