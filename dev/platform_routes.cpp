#include "dev/platform_routes.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <utility>

#include <fmt/format.h>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/http.h"
#include "common/literal.h"
#include "dev/http_service.h"
#include "dev/platform_sims.h"
#include "dev/platform_validation.h"

namespace velko::dev {

namespace json = boost::json;

PlatformRoutes::PlatformRoutes(PlatformState& state) : state_(state) {
  const std::string_view any = "{}";
  auto add = [&](std::string_view method, std::vector<std::string_view> pattern, Handler handler) {
    routes_.push_back({method, std::move(pattern), handler});
  };
  add("GET", {"v1", "projects"}, &PlatformRoutes::list_projects);
  add("POST", {"v1", "orgs", any, "projects", any, "simulators", any},
      &PlatformRoutes::link_simulator);
  add("GET", {"v1", "orgs", any, "projects", any, "guidance"}, &PlatformRoutes::list_guidance);
  add("POST", {"v1", "orgs", any, "projects", any, "guidance"}, &PlatformRoutes::create_guidance);
  add("POST", {"v1", "orgs", any, "projects", any, "guidance", "files"},
      &PlatformRoutes::upload_file);
  add("PUT", {"v1", "orgs", any, "projects", any, "guidance", any},
      &PlatformRoutes::update_guidance);
  add("POST", {"v1", "orgs", any, "sims"}, &PlatformRoutes::publish_sim);
  add("GET", {"v1", "orgs", any, "sims"}, &PlatformRoutes::list_sims);
  add("POST", {"v1", "orgs", any, "sims", any, "implementations", any, "report-jobs"},
      &PlatformRoutes::claim);
  add("POST", {"v1", "orgs", any, "sims", any, "implementations", any, "report-jobs", any},
      &PlatformRoutes::submit);
  add("GET", {"v1", "orgs", any, "sims", any, "implementations", any, "report-jobs", any},
      &PlatformRoutes::report_status);
  add("GET", {"debug", "state"}, &PlatformRoutes::debug_state);
}

Reply PlatformRoutes::route(const Call& call) {
  std::vector<std::string> methods;
  for (const Route& candidate : routes_) {
    if (candidate.pattern.size() != call.segments.size()) continue;
    std::vector<std::string> ids;
    bool match = true;
    for (std::size_t i = 0; i < candidate.pattern.size() && match; ++i) {
      if (candidate.pattern[i] == "{}") {
        match = !call.segments[i].empty() && call.segments[i].size() <= kMaxIdBytes;
        ids.push_back(call.segments[i]);
      } else {
        match = candidate.pattern[i] == call.segments[i];
      }
    }
    if (!match) continue;
    // HEAD is GET without the body, which the server drops.
    if (call.method != candidate.method && !(call.method == "HEAD" && candidate.method == "GET")) {
      methods.emplace_back(candidate.method);
      continue;
    }
    std::lock_guard lock(state_.mutex);
    return (this->*candidate.handler)(call, ids);
  }
  if (!methods.empty()) {
    std::string allowed;
    for (const auto& method : methods) allowed += (allowed.empty() ? "" : " or ") + method;
    throw HttpRefusal(405,
                      fmt::format("{} is not served on this path; use {}", call.method, allowed));
  }
  throw HttpRefusal(404, "There is no such route; the platform's API is under /v1");
}

Reply PlatformRoutes::list_projects(const Call&, const std::vector<std::string>&) {
  json::array list;
  for (const auto& project : state_.projects) {
    json::object entry;
    entry["id"] = project.id;
    entry["organizationId"] = project.organization_id;
    entry["name"] = project.name;
    list.push_back(std::move(entry));
  }
  return {200, std::move(list)};
}

Reply PlatformRoutes::link_simulator(const Call& call, const std::vector<std::string>& ids) {
  const Project& project = state_.project_in(ids[0], ids[1]);
  if (!call.body.empty()) parse_object(call.body);
  if (!state_.find_sim(ids[0], ids[2])) {
    throw HttpRefusal(
        404, "There is no sim " + velko::quoted(ids[2]) + " in the organisation; publish it first");
  }
  bool linked = std::any_of(state_.links.begin(), state_.links.end(), [&](const Link& link) {
    return link.project_id == project.id && link.sim_id == ids[2];
  });
  if (!linked) state_.links.push_back({ids[0], project.id, ids[2]});
  return {200, json::object()};
}

Reply PlatformRoutes::list_guidance(const Call& call, const std::vector<std::string>& ids) {
  const Project& project = state_.project_in(ids[0], ids[1]);
  const std::string* name = call.query_value("name");
  std::optional<std::string> type;
  if (const std::string* given = call.query_value("type")) {
    json::value value(*given);
    type = checked_type(&value, "The type in the query");
  }
  json::array list;
  for (const auto& item : state_.items) {
    if (item.project_id != project.id) continue;
    if (name && item.name != *name) continue;
    if (type && item.type != *type) continue;
    list.push_back(item_body(item));
  }
  return {200, std::move(list)};
}

Reply PlatformRoutes::create_guidance(const Call& call, const std::vector<std::string>& ids) {
  const Project& project = state_.project_in(ids[0], ids[1]);
  json::object body = parse_object(call.body);
  Item item;
  item.project_id = project.id;
  item.type = checked_type(body.if_contains("type"), "\"type\"");
  item.name = required_text(body, "name", kMaxNameChars);
  item.conditions = checked_conditions(body);
  item.data_url = checked_data_url(body);
  for (const auto& existing : state_.items) {
    if (existing.project_id == item.project_id && existing.name == item.name &&
        existing.type == item.type) {
      throw HttpRefusal(409, "The project has a " + item.type + " named " +
                                 velko::quoted(item.name) + " already; update it instead");
    }
  }
  item.id = state_.new_id(IdKind::kItem);
  state_.items.push_back(item);
  return {201, item_body(item)};
}

Reply PlatformRoutes::update_guidance(const Call& call, const std::vector<std::string>& ids) {
  const Project& project = state_.project_in(ids[0], ids[1]);
  json::object body = parse_object(call.body);
  json::value conditions = checked_conditions(body);
  json::value data_url = checked_data_url(body);
  for (auto& item : state_.items) {
    if (item.project_id == project.id && item.id == ids[2]) {
      item.conditions = std::move(conditions);
      item.data_url = std::move(data_url);
      return {200, item_body(item)};
    }
  }
  throw HttpRefusal(404, "There is no guidance item " + velko::quoted(ids[2]) + " in the project");
}

Reply PlatformRoutes::upload_file(const Call& call, const std::vector<std::string>& ids) {
  const Project& project = state_.project_in(ids[0], ids[1]);
  const std::string* filename = call.query_value("filename");
  if (!filename || filename->empty() || *filename == "." || *filename == ".." ||
      filename->size() > kMaxFilenameBytes || filename->find_first_of("/\\") != std::string::npos) {
    throw HttpRefusal(422, fmt::format("Give the file's base name (at most {} bytes, no '/') as "
                                       "?filename=",
                                       kMaxFilenameBytes));
  }
  File file;
  file.project_id = project.id;
  file.filename = *filename;
  file.bytes = call.body.size();
  file.data_url = "dev-platform://guidance-files/" + state_.new_id(IdKind::kFile) + "/" +
                  http::percent_encode(*filename);
  state_.files.push_back(file);
  json::object answer;
  answer["dataUrl"] = file.data_url;
  return {201, std::move(answer)};
}

Reply PlatformRoutes::publish_sim(const Call& call, const std::vector<std::string>& ids) {
  state_.require_organization(ids[0]);
  json::object body = parse_object(call.body);
  std::string name = required_text(body, "name", kMaxNameChars);
  const json::value* sha = body.if_contains("bundleSha256");
  if (!sha || !sha->is_string() || !is_sha256_hex(sha->get_string())) {
    throw HttpRefusal(422, "\"bundleSha256\" must be the bundle's SHA-256 in 64 hex digits");
  }
  auto sim = std::find_if(state_.sims.begin(), state_.sims.end(), [&](const Sim& candidate) {
    return candidate.organization_id == ids[0] && candidate.name == name;
  });
  if (sim == state_.sims.end()) {
    state_.sims.push_back({state_.new_id(IdKind::kSim), ids[0], name, {}});
    sim = state_.sims.end() - 1;
  }
  sim->builds.push_back(
      {state_.new_id(IdKind::kBuild), std::string(sha->get_string()), state_.now()});
  json::object answer;
  answer["simId"] = sim->id;
  answer["implementationId"] = sim->builds.back().id;
  answer["name"] = sim->name;
  return {201, std::move(answer)};
}

Reply PlatformRoutes::claim(const Call& call, const std::vector<std::string>& ids) {
  state_.require_organization(ids[0]);
  json::object body = parse_object(call.body);
  const json::value* dataset = body.if_contains("datasetId");
  if (!dataset || !dataset->is_string() || dataset->get_string().empty() ||
      dataset->get_string().size() > kMaxIdBytes) {
    throw HttpRefusal(422, "\"datasetId\" must be the dataset's id");
  }
  if (state_.options.refuse_claims) throw HttpRefusal(409, *state_.options.refuse_claims);
  Sim* sim = state_.find_sim(ids[0], ids[1]);
  if (!sim) {
    throw HttpRefusal(409, "There is no sim " + velko::quoted(ids[1]) +
                               " in the organisation; publish it before claiming its analysis");
  }
  bool known_build = std::any_of(sim->builds.begin(), sim->builds.end(),
                                 [&](const Build& build) { return build.id == ids[2]; });
  if (!known_build) {
    throw HttpRefusal(
        409, "The sim " + velko::quoted(sim->name) + " has no build " + velko::quoted(ids[2]));
  }
  for (const auto& job : state_.jobs) {
    if (job.sim_id == sim->id && job.open) {
      throw HttpRefusal(409, "The analysis of " + velko::quoted(sim->name) +
                                 " is claimed already (job " + job.id +
                                 "); wait for that job to finish");
    }
  }
  Job job;
  job.id = state_.new_id(IdKind::kJob);
  job.organization_id = ids[0];
  job.sim_id = sim->id;
  job.implementation_id = ids[2];
  job.dataset_id = std::string(dataset->get_string());
  job.validation_run_id = state_.new_id(IdKind::kRun);
  state_.jobs.push_back(job);
  json::object answer;
  answer["jobId"] = job.id;
  answer["simulatorId"] = job.sim_id;
  answer["simulatorImplementationId"] = job.implementation_id;
  answer["validationRunId"] = job.validation_run_id;
  answer["maxLagSteps"] = state_.options.max_lag_steps;
  answer["datasetId"] = job.dataset_id;
  return {201, std::move(answer)};
}

Reply PlatformRoutes::submit(const Call& call, const std::vector<std::string>& ids) {
  Job& job = state_.job_in(ids);
  if (!job.open) {
    throw HttpRefusal(409,
                      "The report job " + job.id + " is closed already; claim the analysis again");
  }
  json::object body = parse_object(call.body);
  if (body.contains("failure")) {
    if (body.contains("simulatorValidation")) {
      throw HttpRefusal(422, "A submission is either a failure or an analysis, not both");
    }
    required_text(body, "failure", kMaxReasonChars);
    job.failed = true;
  } else {
    check_analysis(body);
  }
  job.open = false;
  job.submitted = std::move(body);
  job.submitted_at = state_.now();
  return {200, json::object()};
}

Reply PlatformRoutes::report_status(const Call&, const std::vector<std::string>& ids) {
  Job& job = state_.job_in(ids);
  ++job.status_requests;
  return {200, state_.status_of(job)};
}

Reply PlatformRoutes::list_sims(const Call&, const std::vector<std::string>& ids) {
  state_.require_organization(ids[0]);
  std::vector<ListedSim> listed;
  for (const Sim& sim : state_.sims) {
    if (sim.organization_id != ids[0]) continue;
    ListedSim entry{sim.id, sim.name, std::nullopt, {}};
    if (!sim.builds.empty()) {
      const Build& build = sim.builds.back();
      const bool landed = state_.now() >= build.published_at + state_.build_time;
      entry.latest_build = ListedBuild{build.id, landed, state_.options.fail_build};
    }
    for (const Link& link : state_.links) {
      if (link.sim_id != sim.id) continue;
      for (const Project& project : state_.projects) {
        if (project.id == link.project_id) entry.projects.emplace_back(project.id, project.name);
      }
    }
    listed.push_back(std::move(entry));
  }
  return {200, sim_list_body(listed)};
}

Reply PlatformRoutes::debug_state(const Call&, const std::vector<std::string>&) {
  return {200, state_.snapshot()};
}

}  // namespace velko::dev
