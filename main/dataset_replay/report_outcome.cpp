#include "main/dataset_replay/report_outcome.h"

#include <boost/json.hpp>

namespace velko::dataset_replay {

namespace json = boost::json;

namespace {

// A whole number of at least 0, else none.
std::optional<std::int64_t> count_of(const json::object& summary, const char* name) {
  const json::value* value = summary.if_contains(name);
  if (value && value->is_int64() && value->get_int64() >= 0) return value->get_int64();
  if (value && value->is_uint64() && value->get_uint64() <= INT64_MAX) {
    return static_cast<std::int64_t>(value->get_uint64());
  }
  return std::nullopt;
}

template <class T>
json::value or_null(const std::optional<T>& value) {
  return value ? json::value(*value) : json::value(nullptr);
}

}  // namespace

void read_node_summary(const json::value& answer, ReportOutcome& outcome) {
  const json::object* top = answer.if_object();
  const json::value* summary = top ? top->if_contains("summary") : nullptr;
  if (!summary || !summary->is_object()) return;
  outcome.episodes = count_of(summary->get_object(), "episodes");
  outcome.rows_recorded = count_of(summary->get_object(), "rows_recorded");
  outcome.rows_reached = count_of(summary->get_object(), "rows_reached");
}

json::object outcome_json(const ReportOutcome& outcome) {
  json::value sensors = nullptr;
  if (outcome.sensors) {
    json::array listed;
    for (const SensorResult& sensor : *outcome.sensors) {
      listed.push_back(json::object{{"id", sensor.id},
                                    {"name", sensor.name},
                                    {"accuracy_percent", or_null(sensor.accuracy_percent)},
                                    {"lag_steps", or_null(sensor.lag_steps)},
                                    {"compared_rows", sensor.compared_rows},
                                    {"predicted_nulls", sensor.predicted_nulls},
                                    {"constant", sensor.constant}});
    }
    sensors = std::move(listed);
  }
  json::array warnings;
  for (const std::string& warning : outcome.warnings) warnings.emplace_back(warning);
  json::value dataset = nullptr;
  if (!outcome.dataset_id.empty()) {
    dataset = json::object{{"id", outcome.dataset_id}, {"name", outcome.dataset_name}};
  }
  return {{"dataset", std::move(dataset)},
          {"episodes", or_null(outcome.episodes)},
          {"rows_recorded", or_null(outcome.rows_recorded)},
          {"rows_reached", or_null(outcome.rows_reached)},
          {"score", or_null(outcome.score)},
          {"sensors", std::move(sensors)},
          {"warnings", std::move(warnings)},
          {"report", outcome.report},
          {"claimed", outcome.claimed},
          {"claim_closed", outcome.claim_closed}};
}

}  // namespace velko::dataset_replay
