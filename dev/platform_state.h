// What the stand-in platform holds (projects, sims with their builds, links, guidance items,
// uploaded files and report jobs), the ids and the clock of its timeline, the lookups that its
// handlers share, the report status of a job and the snapshot that the debug route shows.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <boost/json/value.hpp>

#include "dev/dev_platform.h"

namespace velko::dev {

// The kinds of ids the platform hands out; the first group of an id tells them apart.
enum class IdKind : std::uint32_t {
  kSim = 0x51a10001,
  kBuild = 0x51a10002,
  kJob = 0x51a10003,
  kRun = 0x51a10004,
  kItem = 0x51a10005,
  kFile = 0x51a10006,
};

// A project (a use case) of an organisation.
struct Project {
  std::string id;
  std::string organization_id;
  std::string name;
};

// A published build (an implementation) of a sim.
struct Build {
  std::string id;
  std::string bundle_sha256;
  PlatformOptions::Clock::time_point published_at;
};

// A sim: a name in an organisation, with its builds in publishing order.
struct Sim {
  std::string id;
  std::string organization_id;
  std::string name;
  std::vector<Build> builds;
};

// A sim used by a project.
struct Link {
  std::string organization_id;
  std::string project_id;
  std::string sim_id;
};

// A guidance item of a project.
struct Item {
  std::string project_id;
  std::string id;
  std::string name;
  std::string type;
  boost::json::value conditions;
  boost::json::value data_url;
};

// An uploaded guidance file; only its size is kept.
struct File {
  std::string project_id;
  std::string filename;
  std::size_t bytes = 0;
  std::string data_url;
};

// A claimed analysis and what became of it.
struct Job {
  std::string id;
  std::string organization_id;
  std::string sim_id;
  std::string implementation_id;
  std::string dataset_id;
  std::string validation_run_id;
  bool open = true;
  // The body that closed the job, or null.
  boost::json::value submitted;
  bool failed = false;
  PlatformOptions::Clock::time_point submitted_at;
  std::int64_t status_requests = 0;
};

// A guidance item as the API shows it.
boost::json::value item_body(const Item& item);

// Throws std::invalid_argument for options that the platform cannot run with: negative or
// non-finite times, negative lag steps, a zero body bound, an empty token or refusal text.
void check_options(const PlatformOptions& options);

// The platform's records, seeded with one organisation and its two projects. The handlers
// read and change them under `mutex`.
struct PlatformState {
  using Clock = PlatformOptions::Clock;

  // `options` must be checked and outlive the state.
  explicit PlatformState(const PlatformOptions& options);

  // The current point of the timeline.
  Clock::time_point now() const;
  // A fresh id that looks like a UUID; its first group tells the kind.
  std::string new_id(IdKind kind);

  // Lookups that refuse with HttpRefusal 404 (or yield null) when there is nothing to find.
  void require_organization(const std::string& org) const;
  const Project& project_in(const std::string& org, const std::string& project) const;
  Sim* find_sim(const std::string& org, const std::string& sim);
  // The job of the ids organisation, sim, build, job.
  Job& job_in(const std::vector<std::string>& ids);

  // The report status of a job at this point of the timeline.
  boost::json::value status_of(const Job& job) const;
  // What the debug route shows.
  boost::json::value snapshot() const;

  const PlatformOptions& options;
  Clock::duration build_time;
  Clock::duration report_time;

  mutable std::mutex mutex;
  std::vector<Project> projects;
  std::vector<Sim> sims;
  std::vector<Link> links;
  std::vector<Item> items;
  std::vector<File> files;
  std::vector<Job> jobs;
  std::uint64_t next_id = 1;
};

}  // namespace velko::dev
