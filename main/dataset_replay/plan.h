// Joining the sim's sensor and action mappings with the dataset's columns into a Plan.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/json/value.hpp>

#include "common/async.h"

namespace velko::dataset_replay {

class SimClient;

// A (slot, column) pair; the slot is absent when the sim's mapping has no "name".
using SlotColumn = std::pair<std::optional<std::string>, std::string>;

// What the analysis replays and reads: an immutable record.
struct Plan {
  std::vector<SlotColumn> sensors;
  std::vector<SlotColumn> actions;
  std::vector<std::string> core;

  bool operator==(const Plan&) const = default;
};

// The platform's name identity: trimmed, lower case, runs of white space as "_".
std::string normalized(std::string_view name);

// The mapping's `key` when it is a non-empty text.
std::optional<std::string> _field(const boost::json::value& mapping, std::string_view key);

// The names a mapping can be recorded under, the platform's first (at most two).
std::vector<std::string> mapping_names(const boost::json::value& mapping);

// Joins mappings ({"sensors": [...], "actions": [...]}) with the node's columns.
// Throws PublishReportError when a sim action has no column or no sim sensor has one.
Plan plan_analysis(const boost::json::value& mappings, const boost::json::value& columns);

// The sim's mappings: its get_mappings() answer, or the variables of its spaces.
awaitable<boost::json::value> sim_mappings(SimClient& client);

}  // namespace velko::dataset_replay
