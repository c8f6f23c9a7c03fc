// The platform as the report run reaches it: linking the sim to a use case, claiming the report
// job, submitting to it and reading its status.
#pragma once

#include <string>

#include <boost/json/value.hpp>

#include "common/async.h"
#include "main/dataset_replay/report_job.h"

namespace velko::dataset_replay {

// The platform's report calls. Each is one request; a status the platform refuses with is
// APIStatusError, an answer that is not what the call expects BadAnswer, an unreachable
// platform a transport error.
class ReportPlatform {
 public:
  virtual ~ReportPlatform() = default;
  // Links the sim `sim_id` to the use case (project) `project_id` of organisation `org_id`.
  virtual awaitable<void> link_simulator(std::string org_id, std::string project_id,
                                         std::string sim_id) = 0;
  // Claims the report of the sim build `implementation_id` against dataset `dataset_id`;
  // yields the claim, a map that holds the job's id ("jobId") and what the analysis needs.
  virtual awaitable<boost::json::value> publish_report_start(std::string org_id, std::string sim_id,
                                                             std::string implementation_id,
                                                             std::string dataset_id) = 0;
  // Submits `body` to the claimed job: the analysis's artifact, or the reason that closes it.
  virtual awaitable<void> publish_report_submit(ReportJob job, boost::json::value body) = 0;
  // The job's report status, a map.
  virtual awaitable<boost::json::value> publish_report_status(ReportJob job) = 0;
};

}  // namespace velko::dataset_replay
