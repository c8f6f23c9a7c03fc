// The ids that name one report job on the platform.
#pragma once

#include <string>

namespace velko::dataset_replay {

// One report job: the sim build it reports on and the job the platform opened for it, which
// every call after the claim carries.
struct ReportJob {
  std::string org_id;
  std::string sim_id;
  std::string implementation_id;
  std::string job_id;
};

}  // namespace velko::dataset_replay
