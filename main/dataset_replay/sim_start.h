// Starting a sim on this machine and stopping it again, as the report run does it and as
// `velko sim validate` does it: the same start, retries, serving check, output tail and stop.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include <boost/json/object.hpp>

#include "common/async.h"
#include "main/dataset_replay/sim_connection.h"

namespace spdlog {
class logger;
}

namespace velko {
class Console;
}

namespace velko::dataset_replay {

class SimModule;

// The latest lines that a sim wrote; only the end of its output is ever shown, so a chatty sim
// cannot grow this without bound.
class SimOutput {
 public:
  // Most lines kept.
  static constexpr std::size_t kKeptLines = 1000;

  // The callback that a started sim writes its lines to. It shares this object's lines and may
  // outlive it.
  OutputCallback callback();
  // The kept lines joined with line breaks.
  std::string joined() const;
  void clear();

 private:
  std::shared_ptr<std::deque<std::string>> lines_ = std::make_shared<std::deque<std::string>>();
};

// What starting a sim needs, lent by the report run or by another command.
struct SimStarter {
  SimConnection& sims;
  // The serving check and the tail of the sim's output.
  SimModule& host_sim;
  // Shows "Starting the sim..." while it starts.
  Console& console;
  spdlog::logger& logger;
  // Seconds that the sim has to serve.
  double serve_timeout_s = 60;
};

// Starts the sim at `path` on `port` (a free loopback port) and waits until it serves; yields
// its address ("localhost:PORT"). A sim that ended before it served while something else holds
// its port is started again on a new port (three times at most). `process` holds the started
// process on every way out, a failure included, so that the caller stops it. Fails with
// PublishReportError "The sim did not start:\n\n" + the tail of its output (or the cause when
// it wrote nothing), the cause nested; Interrupted as it comes.
awaitable<std::string> start_sim(const SimStarter& starter, std::string path, int port,
                                 std::unique_ptr<SimProcess>& process, SimOutput& output);

// A client of the sim serving at `address`, made with the identifiers `run_id` and initial
// settings `env_init` plus "sim_address", that takes answers of at most `max_answer_bytes`.
std::unique_ptr<SimClient> connect_sim(SimConnection& sims, const std::string& address,
                                       boost::json::object env_init, const std::string& run_id,
                                       std::size_t max_answer_bytes = DEFAULT_MAX_ANSWER_BYTES);

// The exit status of `process` once it has ended, waiting up to `settle_s` seconds for that;
// none when it still runs then.
awaitable<std::optional<int>> ended_status(SimProcess& process, double settle_s);

// Stops a sim process: terminate, up to `grace_s` seconds for it to end, then kill. An
// interrupt while it waits kills the process at once and is raised again.
awaitable<void> stop_sim(SimProcess& process, double grace_s);

}  // namespace velko::dataset_replay
