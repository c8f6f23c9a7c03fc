#include "cli/sim_commands/mapping_check.h"

#include <exception>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/json_access.h"
#include "common/literal.h"
#include "main/dataset_replay/slots.h"
#include "spaces/slot_path.h"
#include "spaces/space_check.h"
#include "spaces/spaces.h"

namespace velko::sim_commands {

namespace json = boost::json;

namespace {

// What an author writes for a mapping without a slot.
constexpr const char* kWriteASlot =
    "give the slot path of its variable as \"name\", or \" \" (a path of blanks, the whole "
    "value) for a space that is one value, such as {\"name\": \" \", \"name_mapped\": "
    "\"push\"} for a discrete action (docs/spaces.md)";

// Longest slot path that a problem shows whole.
constexpr std::size_t kShownPathBytes = 80;

void add(MappingCheck& check, std::string problem) {
  if (check.problems.size() < kMaxMappingProblems) check.problems.push_back(std::move(problem));
  ++check.problem_count;
}

std::string shown_path(std::string_view path) {
  if (path.size() <= kShownPathBytes) return quoted(path);
  return quoted(path.substr(0, kShownPathBytes)) + "...";
}

// The list at answer[space]["mappings"], or none after adding the problem.
const json::array* mapping_list(MappingCheck& check, const json::object& answer,
                                std::string_view space) {
  const json::value* entry = answer.if_contains(space);
  std::string where = "\"" + std::string(space) + "\"";
  if (!entry) {
    add(check, "the answer has no " + where);
    return nullptr;
  }
  const json::value* list =
      entry->is_object() ? entry->get_object().if_contains("mappings") : nullptr;
  if (!entry->is_object() || !list) {
    add(check, where + " must be a map with \"mappings\", not " + json_access::kind_name(*entry));
    return nullptr;
  }
  if (!list->is_array()) {
    add(check, where + "'s \"mappings\" must be a list, not " + json_access::kind_name(*list));
    return nullptr;
  }
  return &list->get_array();
}

// Checks the mappings of one role ("sensor" or "action") against its space.
void check_role(MappingCheck& check, const json::array& mappings, const char* role,
                const spaces::Space* space) {
  for (std::size_t i = 0; i < mappings.size(); ++i) {
    const json::value& mapping = mappings[i];
    std::string which = std::string(role) + " mapping " + std::to_string(i + 1);
    const json::object* map = mapping.if_object();
    if (!map) {
      add(check,
          which + " must be a map {\"name\": slot path}, not " + json_access::kind_name(mapping));
      continue;
    }
    const json::value* name = map->if_contains("name");
    if (!name || !name->is_string() || name->get_string().empty()) {
      // A mapping known by its other name is named by it, so that the author finds it.
      if (const json::value* mapped = map->if_contains("name_mapped");
          mapped && mapped->is_string() && !mapped->get_string().empty()) {
        which += " (" + quoted(mapped->get_string()) + ")";
      }
      std::string what = !name                ? "has no \"name\""
                         : !name->is_string() ? "has a \"name\" that is " +
                                                    json_access::kind_name(*name) + ", not a text"
                                              : "has the empty text as \"name\"";
      add(check, which + " " + what + ", so it has no slot; " + kWriteASlot);
      continue;
    }
    std::string path(name->get_string());
    which = std::string(role) + " " + shown_path(path);
    if (const json::value* mapped = map->if_contains("name_mapped");
        mapped && !mapped->is_null() && !mapped->is_string()) {
      add(check,
          which + ": \"name_mapped\" must be a text, not " + json_access::kind_name(*mapped));
      continue;
    }
    spaces::SlotKeys keys;
    try {
      keys = spaces::parse_slot_path(path);
      // An action is written where the replay writes it, with its own reading of the path.
      if (std::string_view(role) == "action") dataset_replay::parse_slot_path(path);
    } catch (const std::exception& error) {
      add(check, which + " is not a slot path: " + error.what());
      continue;
    }
    if (!space) continue;
    if (std::optional<std::string> problem = spaces::slot_problem(*space, keys)) {
      add(check, which + ": " + *problem);
    }
  }
}

}  // namespace

MappingCheck check_mappings(const json::value& answer, const spaces::Space* sensor_space,
                            const spaces::Space* action_space) {
  MappingCheck check;
  const json::object* map = answer.if_object();
  if (!map) {
    add(check, "the answer must be a map {\"sensor_space\": ..., \"action_space\": ...}, not " +
                   json_access::kind_name(answer));
    return check;
  }
  if (const json::array* sensors = mapping_list(check, *map, "sensor_space")) {
    check.sensors = sensors->size();
    if (sensors->empty()) {
      add(check,
          "there is no sensor mapping; a report compares at least one sensor with the "
          "dataset");
    }
    check_role(check, *sensors, "sensor", sensor_space);
  }
  if (const json::array* actions = mapping_list(check, *map, "action_space")) {
    check.actions = actions->size();
    check_role(check, *actions, "action", action_space);
  }
  return check;
}

}  // namespace velko::sim_commands
