// The stand-in platform's list of an organisation's sims (GET /v1/orgs/{org}/sims): each sim
// with its latest build, the build's state and the use cases that use the sim.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <boost/json/value.hpp>

namespace velko::dev {

// A sim build as the list shows it.
struct ListedBuild {
  std::string id;
  // The build has landed (its build time has passed since it was published).
  bool landed = false;
  // Builds fail when they land.
  bool failing = false;
};

// A sim as the list shows it.
struct ListedSim {
  std::string id;
  std::string name;
  // None before its first build.
  std::optional<ListedBuild> latest_build;
  // The projects that use the sim: {id, name}.
  std::vector<std::pair<std::string, std::string>> projects;
};

// The answer: [{"id", "name", "latestImplementation": {"id", "buildStatus", "buildMapped"} or
// null, "projects": [{"projectId", "projectName"}]}], with the build's status as the report
// status shows it: "BUILDING" until it lands, then "ERROR" for a failing build (whose mappings
// are never saved) or "READY" (mappings saved).
boost::json::value sim_list_body(const std::vector<ListedSim>& sims);

}  // namespace velko::dev
