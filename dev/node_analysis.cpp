#include "dev/node_analysis.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/json_text.h"
#include "common/literal.h"
#include "common/unicode.h"
#include "dev/node_accuracy.h"
#include "dev/node_request.h"

namespace velko::dev {

namespace json = boost::json;

namespace {

constexpr std::size_t kMaxIdBytes = 200;
// Warnings of one kind listed one by one; the rest are counted in one more warning.
constexpr std::size_t kMaxListedWarnings = 10;
constexpr const char* kSchema = "simulator_validation/v2";
constexpr const char* kMethod = "accuracy = 100 * max(0, 1 - rmse / std of recorded), best lag";

// A request whose members have the right types.
struct RolloutsRequest {
  std::string dataset_uuid;
  json::value simulator_id;
  json::value simulator_implementation_id;
  json::value validation_run_id;
  std::string bundle_content_hash;
  std::vector<std::string> core_sensor_variables;
  std::vector<std::string> sensor_variables;
  std::vector<std::string> action_variables;
  int max_lag_steps = 0;
  const json::array* episodes = nullptr;  // in the parsed body
};

// A sensor column of the request, and how many of the sim's slots were read into it.
struct SensorColumn {
  const NodeColumn* column = nullptr;
  std::size_t slots = 0;
};

// A replayed episode matched with the dataset.
struct Rollout {
  std::size_t episode = 0;  // index in the dataset
  std::size_t rows_reached = 0;
  const json::object* predictions = nullptr;
};

std::string where(std::string_view key) { return "\"" + std::string(key) + "\""; }

// An episode as messages name it: its number, or its quoted label.
std::string episode_name(const NodeDataset& dataset, std::size_t index) {
  const std::string& label = dataset.episodes[index].label;
  return dataset.integer_labels ? label : shown(label);
}

std::vector<std::string> text_list(const json::object& request, std::string_view key) {
  const json::value* value = request.if_contains(key);
  if (!value || !value->is_array()) wrong_member(where(key), "a list of texts", value);
  std::vector<std::string> texts;
  for (const json::value& entry : value->get_array()) {
    if (!entry.is_string()) wrong_member("each entry of " + where(key), "a text", &entry);
    texts.emplace_back(entry.get_string());
  }
  return texts;
}

// One of the claim's ids, passed on as received: a text or an integer.
json::value claim_id(const json::object& request, std::string_view key) {
  const json::value* value = request.if_contains(key);
  bool text = value && value->is_string() && !value->get_string().empty() &&
              value->get_string().size() <= kMaxIdBytes;
  if (!text && !(value && (value->is_int64() || value->is_uint64()))) {
    wrong_member(where(key), "a non-empty text of at most 200 bytes, or an integer", value);
  }
  return *value;
}

int lag_steps(const json::object& request) {
  const json::value* value = request.if_contains("max_lag_steps");
  double steps = -1;
  if (value && (value->is_int64() || value->is_uint64())) {
    steps = value->to_number<double>();
  } else if (value && value->is_double() &&
             std::floor(value->get_double()) == value->get_double()) {
    steps = value->get_double();
  } else {
    wrong_member(where("max_lag_steps"), "an integer", value);
  }
  if (!(steps >= 0 && steps <= kMaxLagSteps)) {
    throw NodeRefusal(422, "\"max_lag_steps\" must be from 0 to " + std::to_string(kMaxLagSteps) +
                               ", not " + json_text::to_json(*value));
  }
  return static_cast<int>(steps);
}

// Checks the types of every member; the dataset is not looked at yet.
RolloutsRequest read_request(const json::object& request) {
  RolloutsRequest read;
  const json::value* uuid = request.if_contains("dataset_uuid");
  if (!uuid || !uuid->is_string()) wrong_member(where("dataset_uuid"), "a text", uuid);
  read.dataset_uuid = uuid->get_string();
  read.simulator_id = claim_id(request, "simulator_id");
  read.simulator_implementation_id = claim_id(request, "simulator_implementation_id");
  read.validation_run_id = claim_id(request, "validation_run_id");

  const json::value* hash = request.if_contains("bundle_content_hash");
  constexpr std::string_view kHashForm = "a SHA-256 digest in 64 lowercase hexadecimal digits";
  if (!hash || !hash->is_string()) wrong_member(where("bundle_content_hash"), kHashForm, hash);
  read.bundle_content_hash = hash->get_string();
  bool hex = read.bundle_content_hash.size() == 64 &&
             read.bundle_content_hash.find_first_not_of("0123456789abcdef") == std::string::npos;
  if (!hex) {
    throw NodeRefusal(422, where("bundle_content_hash") + " must be " + std::string(kHashForm));
  }

  read.core_sensor_variables = text_list(request, "core_sensor_variables");
  read.sensor_variables = text_list(request, "sensor_variables");
  read.action_variables = text_list(request, "action_variables");
  if (read.sensor_variables.empty()) {
    throw NodeRefusal(422, "\"sensor_variables\" names no sensor column; at least one is needed");
  }
  if (read.core_sensor_variables.size() != read.sensor_variables.size()) {
    throw NodeRefusal(422,
                      "\"core_sensor_variables\" must have one raw name per entry of "
                      "\"sensor_variables\" (" +
                          std::to_string(read.core_sensor_variables.size()) + " against " +
                          std::to_string(read.sensor_variables.size()) + ")");
  }
  read.max_lag_steps = lag_steps(request);

  const json::value* episodes = request.if_contains("episodes");
  constexpr std::string_view kEpisodesForm = "a list of {\"episode\", \"predictions\"}";
  if (!episodes || !episodes->is_array()) wrong_member(where("episodes"), kEpisodesForm, episodes);
  read.episodes = &episodes->get_array();
  for (std::size_t i = 0; i < read.episodes->size(); ++i) {
    const json::value& entry = (*read.episodes)[i];
    std::string at = "episodes[" + std::to_string(i) + "]";
    if (!entry.is_object()) wrong_member(at, "an object {\"episode\", \"predictions\"}", &entry);
    const json::value* episode = entry.get_object().if_contains("episode");
    if (!episode || !(episode->is_string() || episode->is_int64() || episode->is_uint64())) {
      wrong_member(at + ".episode", "an episode identifier (a text or an integer)", episode);
    }
    const json::value* predictions = entry.get_object().if_contains("predictions");
    if (!predictions || !predictions->is_object()) {
      wrong_member(at + ".predictions", "a map from sensor column to values", predictions);
    }
    for (const auto& member : predictions->get_object()) {
      std::string list_at = at + ".predictions[" + shown(member.key()) + "]";
      if (!member.value().is_array()) {
        wrong_member(list_at, "a list of numbers or nulls", &member.value());
      }
      for (const json::value& value : member.value().get_array()) {
        if (value.is_null() || value.is_int64() || value.is_uint64()) continue;
        if (!value.is_double()) {
          wrong_member("each value of " + list_at, "a number or null", &value);
        }
        if (!std::isfinite(value.get_double())) {
          throw NodeRefusal(422, "A value of " + list_at + " is not a finite number");
        }
      }
    }
  }
  return read;
}

// The distinct sensor columns of the request, in first-occurrence order; refuses columns
// that the dataset does not have in that role (409).
std::vector<SensorColumn> sensor_columns(const RolloutsRequest& request,
                                         const NodeDataset& dataset) {
  auto refuse_column = [&](const std::string& id, ColumnRole role) {
    const NodeColumn* column = dataset.column(id);
    std::string kind = role == ColumnRole::kSensor ? "sensor" : "action";
    if (!column) {
      throw NodeRefusal(409, "The dataset " + quoted(dataset.name) + " has no column " + shown(id) +
                                 " (named as a " + kind + " column)");
    }
    throw NodeRefusal(409, "The column " + shown(id) + " of " + quoted(dataset.name) +
                               " is not a " + kind + " column");
  };
  std::vector<SensorColumn> sensors;
  for (std::size_t i = 0; i < request.sensor_variables.size(); ++i) {
    const std::string& id = request.sensor_variables[i];
    const NodeColumn* column = dataset.column(id);
    if (!column || column->role != ColumnRole::kSensor) refuse_column(id, ColumnRole::kSensor);
    if (request.core_sensor_variables[i] != column->raw_name) {
      throw NodeRefusal(409, "\"core_sensor_variables\" names " +
                                 shown(request.core_sensor_variables[i]) + " for the column " +
                                 shown(id) + ", which is recorded as " + quoted(column->raw_name));
    }
    bool seen = false;
    for (SensorColumn& sensor : sensors) {
      if (sensor.column == column) {
        ++sensor.slots;
        seen = true;
      }
    }
    if (!seen) sensors.push_back({column, 1});
  }
  for (const std::string& id : request.action_variables) {
    const NodeColumn* column = dataset.column(id);
    if (!column || column->role != ColumnRole::kAction) refuse_column(id, ColumnRole::kAction);
  }
  return sensors;
}

// Matches each replayed episode with the dataset's episode and checks its predictions.
std::vector<Rollout> match_rollouts(const RolloutsRequest& request, const NodeDataset& dataset,
                                    const std::vector<SensorColumn>& sensors) {
  std::vector<Rollout> rollouts;
  std::vector<bool> seen(dataset.episodes.size(), false);
  for (const json::value& entry : *request.episodes) {
    const json::value& identifier = entry.get_object().at("episode");
    std::optional<std::size_t> index = dataset.episode_index(identifier);
    if (!index) {
      std::string shown_id =
          identifier.is_string() ? shown(identifier.get_string()) : json_text::to_json(identifier);
      throw NodeRefusal(422, "The dataset " + quoted(dataset.name) + " has no episode " + shown_id);
    }
    std::string name = episode_name(dataset, *index);
    if (seen[*index]) throw NodeRefusal(422, "Episode " + name + " is sent twice");
    seen[*index] = true;

    Rollout rollout;
    rollout.episode = *index;
    rollout.predictions = &entry.get_object().at("predictions").get_object();
    for (const auto& member : *rollout.predictions) {
      bool requested = false;
      for (const SensorColumn& sensor : sensors) {
        requested = requested || sensor.column->id == member.key();
      }
      if (!requested) {
        throw NodeRefusal(409, "Episode " + name + " has predictions for " + shown(member.key()) +
                                   ", which is not one of the request's \"sensor_variables\"");
      }
    }
    const SensorColumn* first = nullptr;
    for (const SensorColumn& sensor : sensors) {
      const json::value* values = rollout.predictions->if_contains(sensor.column->id);
      if (!values) {
        throw NodeRefusal(409, "Episode " + name + " has no predictions for the sensor column " +
                                   quoted(sensor.column->id));
      }
      std::size_t length = values->get_array().size();
      if (length % sensor.slots != 0) {
        throw NodeRefusal(409, "Episode " + name + ": the predictions for " +
                                   quoted(sensor.column->id) + " hold " + std::to_string(length) +
                                   " values, not a multiple of the " +
                                   std::to_string(sensor.slots) + " slots read into it");
      }
      std::size_t rows = length / sensor.slots;
      if (first && rows != rollout.rows_reached) {
        throw NodeRefusal(409, "Episode " + name + ": the predictions for " +
                                   quoted(sensor.column->id) + " cover " + std::to_string(rows) +
                                   " rows, those for " + quoted(first->column->id) + " " +
                                   std::to_string(rollout.rows_reached));
      }
      if (!first) first = &sensor;
      rollout.rows_reached = rows;
    }
    std::size_t recorded = dataset.episodes[*index].rows;
    if (rollout.rows_reached > recorded) {
      throw NodeRefusal(409, "Episode " + name + " has predictions for " +
                                 std::to_string(rollout.rows_reached) + " rows, but only " +
                                 std::to_string(recorded) + " were recorded");
    }
    rollouts.push_back(rollout);
  }
  return rollouts;
}

// A double for the answer, or null when it has no meaning.
json::value number_or_null(bool present, double value) {
  return present ? json::value(value) : json::value(nullptr);
}

// Appends warnings of one kind: the first few, then a count of the rest.
// The texts, at most kMaxListedWarnings of them after the first `heading` ones (which are
// always kept), then how many more there were.
void add_listed(json::array& warnings, const std::vector<std::string>& texts,
                const std::string& rest_suffix, std::size_t heading = 0) {
  const std::size_t shown = std::min(texts.size(), heading + kMaxListedWarnings);
  for (std::size_t i = 0; i < shown; ++i) warnings.emplace_back(texts[i]);
  if (texts.size() > shown) {
    warnings.emplace_back("... and " + std::to_string(texts.size() - shown) + " more " +
                          rest_suffix);
  }
}

// A count with its thousands grouped: 10,020.
std::string grouped(std::size_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

// The names of the sensors without a value at the last row an episode's replay reached, each
// once, quoted.
std::vector<std::string> sensors_without_value(const Rollout& rollout,
                                               const std::vector<SensorColumn>& sensors) {
  std::vector<std::string> names;
  if (rollout.rows_reached == 0) return names;
  const std::size_t row = rollout.rows_reached - 1;
  for (const SensorColumn& sensor : sensors) {
    const json::array& values = rollout.predictions->at(sensor.column->id).get_array();
    for (std::size_t slot = 0; slot < sensor.slots; ++slot) {
      if (values[row * sensor.slots + slot].is_null()) {
        names.push_back(shown(sensor.column->raw_name));
        break;
      }
    }
  }
  return names;
}

std::string joined_names(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? " and " : ", ";
    out += names[i];
  }
  return out;
}

json::array string_array(const std::vector<std::string>& texts) {
  json::array array;
  for (const std::string& text : texts) array.emplace_back(text);
  return array;
}

}  // namespace

json::value analyze_rollouts(const DatasetCatalog& catalog, std::string_view body) {
  json::object parsed = request_object(body);
  RolloutsRequest request = read_request(parsed);
  const NodeDataset* found = catalog.by_id(request.dataset_uuid);
  if (!found) {
    throw NodeRefusal(
        404, "There is no dataset with the id " + shown(request.dataset_uuid) + " on this node");
  }
  const NodeDataset& dataset = *found;
  std::vector<SensorColumn> sensors = sensor_columns(request, dataset);
  std::vector<Rollout> rollouts = match_rollouts(request, dataset, sensors);

  // Episodes.
  std::size_t rows_recorded = 0;
  std::size_t rows_reached = 0;
  std::vector<std::string> ended_early;
  json::array selected;
  for (const Rollout& rollout : rollouts) {
    std::size_t recorded = dataset.episodes[rollout.episode].rows;
    rows_recorded += recorded;
    rows_reached += rollout.rows_reached;
    selected.push_back(dataset.episode_identifier(rollout.episode));
    if (rollout.rows_reached < recorded) {
      std::string text = "Episode " + episode_name(dataset, rollout.episode) +
                         " ended early: the sim reached " + std::to_string(rollout.rows_reached) +
                         " of " + std::to_string(recorded) + " recorded rows";
      // A replay ends at a row where a sensor has no value: that, not the sim, ended it.
      std::vector<std::string> unread = sensors_without_value(rollout, sensors);
      if (!unread.empty()) {
        text += "; at row " + std::to_string(rollout.rows_reached) + ", the last it reached, " +
                (unread.size() == 1 ? "sensor " : "sensors ") + joined_names(unread) +
                (unread.size() == 1 ? " has" : " have") +
                " no value, which ends a replay (the sim sent null)";
      }
      ended_early.push_back(std::move(text));
    }
  }
  const std::size_t episodes_ended_early = ended_early.size();
  if (!ended_early.empty()) {
    // How much of the recordings was replayed comes before the episodes it lists.
    ended_early.insert(ended_early.begin(), std::to_string(episodes_ended_early) + " of " +
                                                std::to_string(rollouts.size()) +
                                                " episodes ended early: " + grouped(rows_reached) +
                                                " of " + grouped(rows_recorded) +
                                                " recorded rows replayed");
  }

  // Sensors.
  json::object sensor_figures;
  std::vector<std::string> with_nulls;
  std::vector<std::string> unscored;
  std::vector<std::string> constant;
  std::size_t scored = 0;
  double accuracy_sum = 0;
  for (const SensorColumn& sensor : sensors) {
    std::vector<SensorTrack> tracks;
    std::size_t predicted_values = 0;
    std::size_t predicted_nulls = 0;
    for (const Rollout& rollout : rollouts) {
      const json::array& values = rollout.predictions->at(sensor.column->id).get_array();
      for (std::size_t slot = 0; slot < sensor.slots; ++slot) {
        SensorTrack track;
        track.recorded = dataset.values(*sensor.column, rollout.episode);
        track.predicted.reserve(rollout.rows_reached);
        for (std::size_t row = 0; row < rollout.rows_reached; ++row) {
          const json::value& value = values[row * sensor.slots + slot];
          if (value.is_null()) {
            ++predicted_nulls;
            track.predicted.push_back(std::numeric_limits<double>::quiet_NaN());
          } else {
            track.predicted.push_back(value.to_number<double>());
          }
        }
        predicted_values += rollout.rows_reached;
        tracks.push_back(std::move(track));
      }
    }
    SensorFit fit = fit_sensor(tracks, request.max_lag_steps);
    bool ok = fit.gap == FitGap::kNone;
    std::string label = "Sensor " + shown(sensor.column->raw_name);
    if (predicted_nulls > 0) {
      with_nulls.push_back(label + ": the sim gave no value at " + std::to_string(predicted_nulls) +
                           " of " + std::to_string(predicted_values) + " predictions");
    }
    switch (fit.gap) {
      case FitGap::kNone:
        ++scored;
        accuracy_sum += fit.accuracy_percent;
        if (fit.constant) {
          constant.push_back(label +
                             " never changes in the selected episodes; its error is "
                             "measured against its value");
        }
        break;
      case FitGap::kNothingRecorded:
        unscored.push_back(label +
                           " is not scored: nothing was recorded for it in the "
                           "selected episodes");
        break;
      case FitGap::kNothingCompared:
        unscored.push_back(label +
                           " is not scored: no row has both a recorded value and a "
                           "prediction");
        break;
      case FitGap::kOutOfRange:
        unscored.push_back(label + " is not scored: its values are too large to compare");
        break;
    }
    json::object figures;
    figures["name"] = sensor.column->raw_name;
    figures["accuracy_percent"] = number_or_null(ok, fit.accuracy_percent);
    figures["rmse"] = number_or_null(ok, fit.rmse);
    figures["scale"] = number_or_null(ok, fit.scale);
    figures["lag_steps"] = ok ? json::value(fit.lag_steps) : json::value(nullptr);
    figures["compared_rows"] = ok ? fit.compared_rows : 0;
    figures["slots"] = sensor.slots;
    figures["predicted_nulls"] = predicted_nulls;
    figures["constant"] = ok && fit.constant;
    sensor_figures[sensor.column->id] = std::move(figures);
  }
  bool reportable = scored > 0;
  double score = reportable ? accuracy_sum / static_cast<double>(scored) : 0;

  // Warnings: why nothing could be scored comes first, so that it survives any cut.
  json::array warnings;
  if (!reportable) {
    std::string why;
    if (rollouts.empty()) {
      why = "no episode was replayed";
    } else if (rows_reached == 0) {
      why = "the sim reached no rows in any episode";
    } else {
      why = "no sensor has a row with both a recorded value and a prediction of the sim";
    }
    warnings.emplace_back("Nothing could be scored: " + why);
  }
  add_listed(warnings, ended_early, "episodes ended early", 1);
  add_listed(warnings, with_nulls, "sensors have predictions without a value");
  if (reportable) add_listed(warnings, unscored, "sensors are not scored");
  add_listed(warnings, constant, "sensors never change");

  json::object summary;
  summary["dataset_id"] = dataset.id;
  summary["episodes"] = rollouts.size();
  summary["episodes_ended_early"] = episodes_ended_early;
  summary["rows_recorded"] = rows_recorded;
  summary["rows_reached"] = rows_reached;
  summary["sensors"] = sensors.size();
  summary["sensors_scored"] = scored;
  summary["max_lag_steps"] = request.max_lag_steps;
  summary["score_percent"] = number_or_null(reportable, score);

  json::value artifact = nullptr;
  if (reportable) {
    json::object evaluation;
    evaluation["score_percent"] = score;
    evaluation["method"] = kMethod;
    evaluation["max_lag_steps"] = request.max_lag_steps;
    evaluation["sensors"] = std::move(sensor_figures);
    json::object used;
    used["id"] = dataset.id;
    used["name"] = dataset.name;
    used["selected_episodes"] = std::move(selected);
    used["content_md5"] = dataset.content_md5;
    used["content_sha256"] = dataset.content_sha256;
    used["core_sensor_variables"] = string_array(request.core_sensor_variables);
    used["sensor_variables"] = string_array(request.sensor_variables);
    used["action_variables"] = string_array(request.action_variables);
    json::object validation;
    validation["schema"] = kSchema;
    validation["simulator_id"] = request.simulator_id;
    validation["simulator_implementation_id"] = request.simulator_implementation_id;
    validation["validation_run_id"] = request.validation_run_id;
    validation["bundle_content_hash"] = request.bundle_content_hash;
    validation["evaluation"] = std::move(evaluation);
    validation["dataset"] = std::move(used);
    artifact = std::move(validation);
  }

  json::object identity;
  identity["id"] = dataset.id;
  identity["name"] = dataset.name;
  identity["content_md5"] = dataset.content_md5;
  identity["content_sha256"] = dataset.content_sha256;

  json::object answer;
  answer["summary"] = std::move(summary);
  answer["simulator_validation"] = std::move(artifact);
  answer["dataset"] = std::move(identity);
  answer["warnings"] = std::move(warnings);
  return answer;
}

}  // namespace velko::dev
