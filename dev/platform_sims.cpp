#include "dev/platform_sims.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

namespace velko::dev {

namespace json = boost::json;

json::value sim_list_body(const std::vector<ListedSim>& sims) {
  json::array list;
  for (const ListedSim& sim : sims) {
    json::object entry;
    entry["id"] = sim.id;
    entry["name"] = sim.name;
    if (sim.latest_build) {
      const ListedBuild& build = *sim.latest_build;
      json::object latest;
      latest["id"] = build.id;
      latest["buildStatus"] = !build.landed ? "BUILDING" : build.failing ? "ERROR" : "READY";
      latest["buildMapped"] = build.landed && !build.failing;
      entry["latestImplementation"] = std::move(latest);
    } else {
      entry["latestImplementation"] = nullptr;
    }
    json::array projects;
    for (const auto& [id, name] : sim.projects) {
      json::object project;
      project["projectId"] = id;
      project["projectName"] = name;
      projects.push_back(std::move(project));
    }
    entry["projects"] = std::move(projects);
    list.push_back(std::move(entry));
  }
  return list;
}

}  // namespace velko::dev
