#include "main/dataset_replay/sensor_results.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>
#include <boost/json.hpp>

namespace velko::dataset_replay {

namespace json = boost::json;

namespace {

// Longest sensor name shown; a longer one is cut.
constexpr std::size_t kMaxNameCharacters = 60;

// A whole number of a member that may be missing (`fallback`) or null (none); nullopt-of-
// optional when it is of another type, so that the caller refuses the shape.
std::optional<std::optional<std::int64_t>> whole_member(const json::object& figures,
                                                        const char* name,
                                                        std::optional<std::int64_t> fallback) {
  const json::value* value = figures.if_contains(name);
  if (!value) return std::optional<std::int64_t>(fallback);
  if (value->is_null()) return std::optional<std::int64_t>();
  if (value->is_int64() && value->get_int64() >= 0) {
    return std::optional<std::int64_t>(value->get_int64());
  }
  if (value->is_uint64() &&
      value->get_uint64() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return std::optional<std::int64_t>(static_cast<std::int64_t>(value->get_uint64()));
  }
  return std::nullopt;
}

// Cuts a name to kMaxNameCharacters code points, marking the cut.
std::string shown_name(const std::string& name) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if ((static_cast<unsigned char>(name[i]) & 0xC0) == 0x80) continue;
    if (count++ == kMaxNameCharacters) return name.substr(0, i) + "…";
  }
  return name;
}

// The note of a sensor: what the node said of it beside its figures.
std::string note_of(const SensorResult& result) {
  std::vector<std::string> notes;
  if (!result.accuracy_percent) notes.emplace_back("not scored");
  if (result.constant) notes.emplace_back("never changes");
  if (result.predicted_nulls > 0) {
    notes.push_back(fmt::format("{} predictions without a value", result.predicted_nulls));
  }
  std::string note;
  for (const std::string& part : notes) note += (note.empty() ? "" : "; ") + part;
  return note;
}

}  // namespace

std::optional<std::vector<SensorResult>> sensor_results(const json::value& artifact) {
  const json::object* top = artifact.if_object();
  const json::value* evaluation = top ? top->if_contains("evaluation") : nullptr;
  const json::object* evaluation_map = evaluation ? evaluation->if_object() : nullptr;
  const json::value* sensors = evaluation_map ? evaluation_map->if_contains("sensors") : nullptr;
  if (!sensors || !sensors->is_object() || sensors->get_object().empty()) return std::nullopt;

  std::vector<SensorResult> results;
  for (const auto& [id, value] : sensors->get_object()) {
    const json::object* figures = value.if_object();
    if (!figures) return std::nullopt;
    SensorResult result;
    result.id = std::string(id);
    const json::value* name = figures->if_contains("name");
    if (name && !name->is_string()) return std::nullopt;
    result.name = name ? std::string(name->get_string()) : result.id;
    const json::value* accuracy = figures->if_contains("accuracy_percent");
    if (!accuracy) return std::nullopt;
    if (!accuracy->is_null()) {
      if (!accuracy->is_number()) return std::nullopt;
      const double percent = accuracy->to_number<double>();
      if (!std::isfinite(percent) || percent < 0 || percent > 100) return std::nullopt;
      result.accuracy_percent = percent;
    }
    auto lag = whole_member(*figures, "lag_steps", std::nullopt);
    auto compared = whole_member(*figures, "compared_rows", std::int64_t{0});
    auto nulls = whole_member(*figures, "predicted_nulls", std::int64_t{0});
    if (!lag || !compared || !nulls) return std::nullopt;
    result.lag_steps = *lag;
    result.compared_rows = compared->value_or(0);
    result.predicted_nulls = nulls->value_or(0);
    const json::value* constant = figures->if_contains("constant");
    if (constant && !constant->is_bool()) return std::nullopt;
    result.constant = constant && constant->get_bool();
    results.push_back(std::move(result));
  }
  std::stable_sort(results.begin(), results.end(),
                   [](const SensorResult& a, const SensorResult& b) {
                     if (a.accuracy_percent.has_value() != b.accuracy_percent.has_value()) {
                       return a.accuracy_percent.has_value();
                     }
                     if (a.accuracy_percent && *a.accuracy_percent != *b.accuracy_percent) {
                       return *a.accuracy_percent < *b.accuracy_percent;
                     }
                     return a.name < b.name;
                   });
  return results;
}

std::string accuracy_bar(double percent, int width) {
  static constexpr const char* kEighths[] = {"", "▏", "▎", "▍", "▌", "▋", "▊", "▉"};
  const double clamped = std::clamp(percent, 0.0, 100.0);
  const auto eighths = static_cast<int>(std::lround(clamped / 100.0 * width * 8));
  std::string bar;
  for (int i = 0; i < eighths / 8; ++i) bar += "█";
  bar += kEighths[eighths % 8];
  return bar;
}

Table sensor_table(const std::vector<SensorResult>& results, std::size_t max_rows) {
  Table table{"Sensors, worst first", {"Sensor", "Accuracy", "", "Lag", "Rows", "Note"}, {}};
  for (std::size_t i = 0; i < results.size() && i < max_rows; ++i) {
    const SensorResult& result = results[i];
    table.rows.push_back(
        {escape_markup(shown_name(result.name)),
         result.accuracy_percent ? fmt::format("{:.1f}", *result.accuracy_percent) : "-",
         result.accuracy_percent ? accuracy_bar(*result.accuracy_percent) : "",
         result.lag_steps ? std::to_string(*result.lag_steps) : "-",
         std::to_string(result.compared_rows), escape_markup(note_of(result))});
  }
  if (results.size() > max_rows) {
    table.rows.push_back(
        {fmt::format("{} more sensors", results.size() - max_rows), "", "", "", "", ""});
  }
  return table;
}

}  // namespace velko::dataset_replay
