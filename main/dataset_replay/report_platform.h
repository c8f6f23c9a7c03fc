// The platform client as the report run uses it.
#pragma once

#include <string>

#include <boost/json/value.hpp>

#include "common/async.h"

namespace velko::dataset_replay {

class ReportPlatform {
 public:
  virtual ~ReportPlatform() = default;
  // `api.projects.simulators.link`: links the sim to a use case.
  virtual awaitable<void> link_simulator(std::string org_id, std::string project_id,
                                         std::string sim_id) = 0;
  // `api.sims.publish_report_start`: claims the build's analysis; yields the claim map.
  // A refusal is APIStatusError.
  virtual awaitable<boost::json::value> publish_report_start(std::string org_id,
                                                             std::string sim_id,
                                                             std::string implementation_id,
                                                             std::string dataset_id) = 0;
  // `api.sims.publish_report_submit`: submits the artifact or closes the claim.
  virtual awaitable<void> publish_report_submit(std::string org_id, std::string sim_id,
                                                std::string implementation_id,
                                                std::string job_id,
                                                boost::json::value body) = 0;
  // `api.sims.publish_report_status`: the report status map.
  virtual awaitable<boost::json::value> publish_report_status(std::string org_id,
                                                              std::string sim_id,
                                                              std::string implementation_id,
                                                              std::string job_id) = 0;
};

}  // namespace velko::dataset_replay
