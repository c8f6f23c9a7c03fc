#include "main/dataset_replay/plan.h"

#include <spdlog/logger.h>

#include <algorithm>
#include <exception>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/errors.h"
#include "common/literal.h"
#include "common/unicode.h"
#include "main/dataset_replay/core_library.h"
#include "main/dataset_replay/report_run.h"
#include "main/dataset_replay/run_context.h"
#include "main/dataset_replay/sim_call.h"
#include "main/dataset_replay/sim_connection.h"

namespace velko::dataset_replay {

namespace {

// Most sensor names that the no-sensor refusal lists.
constexpr std::size_t kMaxListedSensors = 10;

// True when the slot is one array position as a whole, such as [0].
bool is_position(std::string_view name) {
  if (name.size() < 3 || name.front() != '[' || name.back() != ']') return false;
  for (char ch : name.substr(1, name.size() - 2)) {
    if (ch < '0' || ch > '9') return false;
  }
  return true;
}

const boost::json::object& object_of(const boost::json::value& value, const std::string& what) {
  if (const auto* object = value.if_object()) return *object;
  throw BadAnswer(what + " is not a map");
}

const boost::json::array& array_of(const boost::json::value& value, const std::string& what) {
  if (const auto* array = value.if_array()) return *array;
  throw BadAnswer(what + " is not a list");
}

const boost::json::value& member(const boost::json::object& object, std::string_view key) {
  if (const auto* found = object.if_contains(key)) return *found;
  throw KeyError(std::string(key));
}

// The node's columns of one role ("sensor_variables" or "action_variables"), with the
// identities of their raw names worked out when a join first needs them. A fault of the
// node's columns is raised, when it is reached, as the node's.
class RoleColumns {
 public:
  RoleColumns(const ColumnIds& ids, const RawNames& raw_names, const char* role)
      : list_(ids), raw_names_(raw_names), role_(role) {}

  // The position of the first column whose raw name has the identity of the mapping's first
  // name that matches any; nothing when none does.
  std::optional<std::size_t> join(const boost::json::value& mapping) {
    for (const std::string& candidate : mapping_names(mapping)) {
      std::string identity = normalized(candidate);
      for (std::size_t i = 0; i < count(); ++i) {
        if (identity_of(i) == identity) return i;
      }
    }
    return std::nullopt;
  }

  // The identifier and the raw name of a column that join() found.
  const std::string& id(std::size_t i) const { return ids_->ids[i]; }
  const std::string& raw_name(std::size_t i) const { return raw_[i]; }

 private:
  // The identifiers that can be read: the texts, and the entry that is not a text after them.
  std::size_t count() {
    if (!ids_) {
      blame_node([&] {
        if (!list_.kind) throw KeyError(role_);
        if (*list_.kind != boost::json::kind::array) {
          throw BadAnswer(std::string("The compute node's \"") + role_ + "\" is not a list");
        }
      });
      ids_ = &list_;
      raw_.resize(ids_->ids.size());
      identities_.resize(ids_->ids.size());
    }
    return ids_->ids.size() + (ids_->not_text ? 1 : 0);
  }

  const std::string& identity_of(std::size_t i) {
    if (i == ids_->ids.size()) {
      blame_node([&] {
        throw BadAnswer("The compute node's column identifier " + *ids_->not_text +
                        " is not a text");
      });
    }
    if (!identities_[i]) {
      const std::string& id = ids_->ids[i];
      blame_node([&] {
        auto raw = raw_names_.names.find(id);
        if (raw == raw_names_.names.end()) throw KeyError(id);
        if (!raw->second) {
          throw BadAnswer("The compute node's raw name of the column " + quoted(id) +
                          " is not a text");
        }
        raw_[i] = *raw->second;
      });
      identities_[i] = normalized(raw_[i]);
    }
    return *identities_[i];
  }

  const ColumnIds& list_;
  const RawNames& raw_names_;
  const char* role_;
  const ColumnIds* ids_ = nullptr;  // list_, once its kind has been checked
  std::vector<std::string> raw_;
  std::vector<std::optional<std::string>> identities_;
};

// The first name of a mapping as a refusal lists it.
std::string listed_name(const boost::json::value& mapping) {
  std::vector<std::string> names = mapping_names(mapping);
  return names.empty() ? "<unnamed>" : quoted(names.front());
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) {
    if (!out.empty()) out += ", ";
    out += name;
  }
  return out;
}

// The list at answer[space]["mappings"] of a get_mappings() answer.
boost::json::array space_mappings(const boost::json::value& answer, std::string_view space) {
  const auto& spaces = object_of(answer, "the sim's get_mappings() answer");
  std::string name = "the sim's \"" + std::string(space) + "\"";
  const auto& entry = object_of(member(spaces, space), name);
  return array_of(member(entry, "mappings"), "the \"mappings\" of " + name);
}

}  // namespace

std::string normalized(std::string_view name) {
  std::string lowered = unicode::lower(unicode::trim(name));
  std::string identity;
  identity.reserve(lowered.size());
  bool in_space = false;
  for (char32_t c : unicode::decode(lowered)) {
    if (unicode::is_space(c)) {
      if (!in_space) identity.push_back('_');
      in_space = true;
    } else {
      unicode::append_utf8(identity, c);
      in_space = false;
    }
  }
  return identity;
}

std::optional<std::string> mapping_field(const boost::json::value& mapping, std::string_view key) {
  const auto* object = mapping.if_object();
  if (!object) return std::nullopt;
  const auto* found = object->if_contains(key);
  if (!found || !found->is_string() || found->get_string().empty()) return std::nullopt;
  return std::string(found->get_string());
}

std::vector<std::string> mapping_names(const boost::json::value& mapping) {
  const std::optional<std::string> name = mapping_field(mapping, "name");
  const std::optional<std::string> mapped = mapping_field(mapping, "name_mapped");
  const std::optional<std::string>& first = (name && mapped && is_position(*name)) ? mapped : name;
  std::vector<std::string> names;
  for (const std::optional<std::string>* candidate : {&first, &mapped, &name}) {
    if (!*candidate) continue;
    if (std::find(names.begin(), names.end(), **candidate) == names.end()) {
      names.push_back(**candidate);
    }
  }
  return names;
}

Plan plan_analysis(const boost::json::value& mappings, const NodeColumns& columns) {
  blame_node([&] {
    if (columns.answer_kind != boost::json::kind::object) {
      throw BadAnswer("The compute node's columns is not a map");
    }
    if (!columns.raw_names.kind) throw KeyError("raw_names");
    if (*columns.raw_names.kind != boost::json::kind::object) {
      throw BadAnswer("The compute node's \"raw_names\" is not a map");
    }
  });
  const auto& sim_mappings = object_of(mappings, "The sim's mappings");

  RoleColumns sensor_columns(columns.sensor_variables, columns.raw_names, "sensor_variables");
  const auto& sensor_mappings = array_of(member(sim_mappings, "sensors"), "The sim's sensors");
  Plan plan;
  for (const auto& mapping : sensor_mappings) {
    std::optional<std::size_t> column = sensor_columns.join(mapping);
    if (!column) continue;
    std::string id = sensor_columns.id(*column);
    if (id.empty()) continue;
    plan.sensors.emplace_back(mapping_field(mapping, "name"), std::move(id));
    plan.core.push_back(sensor_columns.raw_name(*column));
  }

  RoleColumns action_columns(columns.action_variables, columns.raw_names, "action_variables");
  const auto& action_mappings = array_of(member(sim_mappings, "actions"), "The sim's actions");
  std::vector<std::string> missing;
  for (const auto& mapping : action_mappings) {
    std::optional<std::size_t> column = action_columns.join(mapping);
    std::string id = column ? action_columns.id(*column) : std::string();
    if (id.empty()) missing.push_back(listed_name(mapping));
    plan.actions.emplace_back(mapping_field(mapping, "name"), std::move(id));
  }

  if (!missing.empty()) {
    throw PublishReportError("The dataset on this node has no action column for the sim's action" +
                             std::string(missing.size() >= 2 ? "s" : "") + " " + joined(missing) +
                             "; every action is replayed from the dataset");
  }
  if (plan.sensors.empty()) {
    std::vector<std::string> names;
    for (const auto& mapping : sensor_mappings) {
      if (names.size() == kMaxListedSensors) break;
      names.push_back(listed_name(mapping));
    }
    throw PublishReportError("None of the sim's sensors (" + joined(names) +
                             ") is a sensor column of the dataset");
  }
  return plan;
}

awaitable<boost::json::value> sim_mappings(const ReportRun& run, SimClient& client,
                                           double call_timeout_s) {
  std::string failure;
  try {
    boost::json::value answer =
        co_await sim_call(client.get_mappings(), "get_mappings()", call_timeout_s);
    boost::json::object mappings;
    mappings.emplace("sensors", space_mappings(answer, "sensor_space"));
    mappings.emplace("actions", space_mappings(answer, "action_space"));
    co_return boost::json::value(std::move(mappings));
  } catch (const TimeoutError&) {
    // A sim that does not answer in time is stuck, not without mappings.
    throw;
  } catch (const std::exception& error) {
    if (is_interrupt(std::current_exception())) throw;
    failure = error.what();
  }
  run.logger.debug("get_mappings() failed ({}); reading the spaces", failure);
  boost::json::value sensor_info =
      co_await sim_call(client.sensor_space_info(), "sensor_space_info()", call_timeout_s);
  boost::json::array sensors = run.core.convert_space_to_json(sensor_info);
  boost::json::value action_info =
      co_await sim_call(client.action_space_info(), "action_space_info()", call_timeout_s);
  boost::json::array actions = run.core.convert_space_to_json(action_info);
  boost::json::object mappings;
  mappings.emplace("sensors", std::move(sensors));
  mappings.emplace("actions", std::move(actions));
  co_return boost::json::value(std::move(mappings));
}

}  // namespace velko::dataset_replay
