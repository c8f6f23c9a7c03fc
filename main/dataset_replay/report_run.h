// The report run as one object: the outside components it calls, the console and logger it
// writes to, and its timings, all handed in by whoever makes it — the host with the real
// components, a test with fakes. Every stage of the run is given it; nothing is looked up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/async.h"
#include "main/dataset_replay/dataset_module.h"
#include "main/dataset_replay/run_context.h"

namespace spdlog {
class logger;
}

namespace velko {
class Console;
}

namespace velko::dataset_replay {

class CoreLibrary;
class ReportPlatform;
class SimConnection;
class SimModule;
struct ReportRun;

// How the analysis replays the dataset through the sim.
struct ReplayOptions {
  // Most episodes replayed, spread over the dataset.
  int max_episodes = DEFAULT_MAX_EPISODES;
  // The sim's initial settings, which Make carries.
  boost::json::object env_init;
  // Seconds that one call of the sim may take.
  double call_timeout_s = DEFAULT_CALL_TIMEOUT_S;
  // Each episode's reset is seeded with episode_seed(run_seed, its identifier).
  std::uint64_t run_seed = 0;
  // Processes of the sim that the episodes are spread over, each episode wholly in one; 0: as
  // many as the machine has cores. Never more than there are episodes.
  int sims = 1;
};

// The analysis stage as publish_report awaits it: `analyze` (analysis.h), or a test's stand-in.
using AnalyzeFn = std::function<awaitable<boost::json::value>(
    const ReportRun& run, std::string path, boost::json::value claim, LocalDataset dataset,
    std::string bundle_sha256, ReplayOptions options)>;

// One report run's components, lent by its maker for as long as the run lasts.
struct ReportRun {
  // The platform client.
  ReportPlatform& api;
  // The compute node's datasets: the dataset lookup, the node's address and credentials.
  DatasetModule& datasets;
  // Around a started sim: the serving check and the tail of its output.
  SimModule& host_sim;
  // The sim connection: free ports, sim processes and clients to them.
  SimConnection& sims;
  // The core library: spaces, the compute side's view of values, sensors.
  CoreLibrary& core;
  // Where the run prints (standard output in production).
  Console& console;
  // The run's debug logger.
  spdlog::logger& logger;
  Timings timings = {};
  // The analysis stage; empty for `analyze` itself.
  AnalyzeFn analyze = {};
};

}  // namespace velko::dataset_replay
