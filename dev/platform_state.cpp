#include "dev/platform_state.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/literal.h"
#include "dev/http_service.h"

namespace velko::dev {

namespace json = boost::json;

namespace {

using Clock = PlatformOptions::Clock;

// Seconds on the timeline's clock.
Clock::duration seconds_duration(double seconds) {
  // Beyond a century is forever, and stays within the clock's range.
  seconds = std::min(seconds, 3.2e9);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The artifact's score, or null.
json::value score_of(const json::value& submitted) {
  const json::value* artifact = submitted.as_object().if_contains("simulatorValidation");
  if (!artifact || !artifact->is_object()) return nullptr;
  const json::value* evaluation = artifact->get_object().if_contains("evaluation");
  if (!evaluation || !evaluation->is_object()) return nullptr;
  const json::value* score = evaluation->get_object().if_contains("score_percent");
  if (!score || !score->is_number()) return nullptr;
  return *score;
}

// The "run" member of a report status.
json::value run_body(const char* status, json::value failure_code, json::value score) {
  json::object run;
  run["status"] = status;
  run["failureCode"] = std::move(failure_code);
  run["score"] = std::move(score);
  return run;
}

// The list of what `entry` makes of each record.
template <class Record, class Entry>
json::array entries(const std::vector<Record>& records, Entry entry) {
  json::array list;
  for (const Record& record : records) list.push_back(entry(record));
  return list;
}

}  // namespace

json::value item_body(const Item& item) {
  json::object body;
  body["id"] = item.id;
  body["name"] = item.name;
  body["type"] = item.type;
  body["conditions"] = item.conditions;
  body["dataUrl"] = item.data_url;
  return body;
}

void check_options(const PlatformOptions& options) {
  auto finite_non_negative = [](double seconds) { return std::isfinite(seconds) && seconds >= 0; };
  if (!finite_non_negative(options.build_seconds) || !finite_non_negative(options.report_seconds)) {
    throw std::invalid_argument("The build and report times must be non-negative seconds");
  }
  if (options.max_lag_steps < 0) throw std::invalid_argument("max_lag_steps must not be negative");
  if (options.max_body_bytes == 0) throw std::invalid_argument("max_body_bytes must be positive");
  if (options.refuse_claims && options.refuse_claims->empty()) {
    throw std::invalid_argument("The claim refusal needs a text for the user");
  }
  if (options.token && options.token->empty()) {
    throw std::invalid_argument("The token must not be empty");
  }
}

PlatformState::PlatformState(const PlatformOptions& given)
    : options(given),
      build_time(seconds_duration(given.build_seconds)),
      report_time(seconds_duration(given.report_seconds)),
      projects({{kWaterPlantProjectId, kOrganizationId, "Water plant"},
                {kPumpStationProjectId, kOrganizationId, "Pump station"}}) {}

Clock::time_point PlatformState::now() const {
  return options.clock ? options.clock() : Clock::now();
}

std::string PlatformState::new_id(IdKind kind) {
  return fmt::format("{:08x}-0000-4000-8000-{:012x}", static_cast<std::uint32_t>(kind), next_id++);
}

void PlatformState::require_organization(const std::string& org) const {
  if (org != kOrganizationId) {
    throw HttpRefusal(404, "There is no organisation " + velko::quoted(org) +
                               "; GET /v1/projects shows each project's organizationId");
  }
}

const Project& PlatformState::project_in(const std::string& org, const std::string& project) const {
  require_organization(org);
  for (const auto& candidate : projects) {
    if (candidate.id == project && candidate.organization_id == org) return candidate;
  }
  throw HttpRefusal(404, "There is no project " + velko::quoted(project) +
                             " in the organisation; GET /v1/projects lists them");
}

Sim* PlatformState::find_sim(const std::string& org, const std::string& sim) {
  for (auto& candidate : sims) {
    if (candidate.id == sim && candidate.organization_id == org) return &candidate;
  }
  return nullptr;
}

Job& PlatformState::job_in(const std::vector<std::string>& ids) {
  require_organization(ids[0]);
  for (auto& job : jobs) {
    if (job.id == ids[3] && job.organization_id == ids[0] && job.sim_id == ids[1] &&
        job.implementation_id == ids[2]) {
      return job;
    }
  }
  throw HttpRefusal(404, "There is no report job " + velko::quoted(ids[3]) + " for this sim build");
}

json::value PlatformState::status_of(const Job& job) const {
  Clock::time_point at = now();
  Clock::time_point published_at{};
  for (const auto& sim : sims) {
    for (const auto& build : sim.builds) {
      if (build.id == job.implementation_id) published_at = build.published_at;
    }
  }
  Clock::time_point landed_at = published_at + build_time;
  bool landed = at >= landed_at;
  json::object status;
  status["buildStatus"] = !landed ? "BUILDING" : options.fail_build ? "ERROR" : "READY";
  status["buildMapped"] = landed && !options.fail_build;
  if (job.open || (!job.failed && !landed)) {
    status["eventStatus"] = "pending";
    status["run"] = nullptr;
  } else if (job.failed) {
    status["eventStatus"] = "failed";
    status["run"] = run_body("failed", "ANALYSIS_FAILED", nullptr);
  } else if (options.fail_build) {
    status["eventStatus"] = "failed";
    status["run"] = run_body("failed", "BUILD_FAILED", nullptr);
  } else if (options.stall_report || at < std::max(job.submitted_at, landed_at) + report_time) {
    status["eventStatus"] = "running";
    status["run"] = run_body("writing", nullptr, nullptr);
  } else {
    status["eventStatus"] = "done";
    status["run"] = run_body("ready", nullptr, score_of(job.submitted));
  }
  json::array used_by;
  for (const auto& link : links) {
    if (link.sim_id != job.sim_id) continue;
    for (const auto& project : projects) {
      if (project.id != link.project_id) continue;
      used_by.push_back(json::object{{"projectId", project.id}, {"projectName", project.name}});
    }
  }
  status["projects"] = std::move(used_by);
  return status;
}

json::value PlatformState::snapshot() const {
  json::object state;
  state["claims"] = entries(jobs, [](const Job& job) {
    return json::object{{"jobId", job.id},
                        {"simId", job.sim_id},
                        {"implementationId", job.implementation_id},
                        {"datasetId", job.dataset_id},
                        {"open", job.open},
                        {"submitted", job.submitted},
                        {"statusRequests", job.status_requests}};
  });
  state["links"] = entries(links, [](const Link& link) {
    return json::object{{"organizationId", link.organization_id},
                        {"projectId", link.project_id},
                        {"simId", link.sim_id}};
  });
  state["guidance"] = entries(items, [](const Item& item) {
    json::object entry{{"projectId", item.project_id}};
    json::value body = item_body(item);
    for (const auto& member : body.get_object()) entry[member.key()] = member.value();
    return entry;
  });
  state["sims"] = entries(sims, [](const Sim& sim) {
    json::array builds = entries(sim.builds, [](const Build& build) {
      return json::object{{"implementationId", build.id}, {"bundleSha256", build.bundle_sha256}};
    });
    return json::object{{"simId", sim.id}, {"name", sim.name}, {"implementations", builds}};
  });
  state["files"] = entries(files, [](const File& file) {
    return json::object{{"projectId", file.project_id},
                        {"filename", file.filename},
                        {"bytes", file.bytes},
                        {"dataUrl", file.data_url}};
  });
  return state;
}

}  // namespace velko::dev
