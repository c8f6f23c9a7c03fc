// Waiting for the platform's simulation report and printing the outcome.
#pragma once

#include <string>

#include <boost/json/value.hpp>

#include "common/async.h"
#include "main/dataset_replay/report_job.h"

namespace velko {
class Console;
}

namespace velko::dataset_replay {

struct ReportRun;

// Polls the report job until the report is written, the build has not landed or failed, or
// the time budget is spent; yields the last status.
awaitable<boost::json::value> wait_for_reports(const ReportRun& run, ReportJob job);

// True when the report job is final.
bool report_settled(const boost::json::value& status);

// A report status as a program reads it: {"build": "failed", "building" or "ready", "status":
// the report's state or null, "score": its score or null, "use_cases": [names]}. Throws
// BadAnswer for a status of another shape, as render_reports does.
boost::json::object report_json(const boost::json::value& status);

// Prints the outcome of a report status.
void render_reports(Console& console, const boost::json::value& status,
                    const std::string& sim_name);

}  // namespace velko::dataset_replay
