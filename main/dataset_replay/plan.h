// Joining the sim's sensor and action mappings with the dataset's columns into a Plan.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/value.hpp>

#include "common/async.h"
#include "main/dataset_replay/recorded_actions.h"

namespace velko::dataset_replay {

class SimClient;
struct ReportRun;

// A (slot, column) pair: the sim's slot path and the node's column identifier. The slot is
// absent when the sim's mapping has no "name".
using SlotColumn = std::pair<std::optional<std::string>, std::string>;

// What the analysis replays and reads: an immutable record.
struct Plan {
  // One pair per sim sensor that has a sensor column, in the sim's order.
  std::vector<SlotColumn> sensors;
  // One pair per sim action, in the sim's order.
  std::vector<SlotColumn> actions;
  // The raw name of each sensor pair's column: the dataset's sensors that the sim covers.
  std::vector<std::string> core;

  bool operator==(const Plan&) const = default;
};

// The platform's name identity: trimmed, lower case, runs of white space as "_".
std::string normalized(std::string_view name);

// The mapping's `key` when it is a non-empty text; a mapping that is not a map has no fields.
std::optional<std::string> mapping_field(const boost::json::value& mapping, std::string_view key);

// The names a mapping can be recorded under, the platform's first (at most two).
std::vector<std::string> mapping_names(const boost::json::value& mapping);

// Joins mappings ({"sensors": [...], "actions": [...]}) with the node's columns (of its
// "analysis-actions" answer) by name identity. Throws PublishReportError when a sim action has
// no column or no sim sensor has one; KeyError for a missing member of the mappings,
// BadAnswer for one of the wrong kind; NodeAnswerError (with such a cause) for a fault of the
// node's columns.
Plan plan_analysis(const boost::json::value& mappings, const NodeColumns& columns);

// The sim's mappings, {"sensors": [...], "actions": [...]}: its get_mappings() answer, or,
// when that fails or is malformed, the variables of its sensor and action spaces. Each call
// is bounded by `call_timeout_s`; a call that does not answer within it fails with
// TimeoutError, get_mappings() included.
awaitable<boost::json::value> sim_mappings(const ReportRun& run, SimClient& client,
                                           double call_timeout_s);

}  // namespace velko::dataset_replay
