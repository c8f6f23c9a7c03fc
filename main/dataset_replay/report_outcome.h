// What a report run found, filled in as it goes, for a caller that reports it to a program
// (`sim publish --json`) or judges it (`--min-score`).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "main/dataset_replay/sensor_results.h"

namespace velko::dataset_replay {

struct ReportOutcome {
  std::string dataset_id;
  std::string dataset_name;
  // The compute node's summary of the analysis: episodes replayed, rows recorded in them and
  // rows the sim reached (none until the node answered).
  std::optional<std::int64_t> episodes;
  std::optional<std::int64_t> rows_recorded;
  std::optional<std::int64_t> rows_reached;
  // The compute node answered the analysis (whether or not anything could be scored).
  bool analyzed = false;
  // The analysis's score; none when nothing could be scored.
  std::optional<double> score;
  std::optional<std::vector<SensorResult>> sensors;
  std::vector<std::string> warnings;
  // The platform's last word on the report: its build, the report's state, the use cases.
  boost::json::value report = nullptr;
  // A claim was made; it was closed (with a failure) by the run.
  bool claimed = false;
  bool claim_closed = false;
};

// Reads the node's summary (episodes, rows recorded and reached) from its answer to the
// analysis into `outcome`; members of another shape are left unknown.
void read_node_summary(const boost::json::value& answer, ReportOutcome& outcome);

// The outcome as the JSON object `sim publish --json` prints (without the sim and its build,
// which the command adds).
boost::json::object outcome_json(const ReportOutcome& outcome);

}  // namespace velko::dataset_replay
