// Sims as the report run and `sim validate` reach them: a free port, a sim process started on
// this machine, and a client of the sim that the process serves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/async.h"
#include "main/dataset_replay/episode_steps.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {

// A started sim process.
class SimProcess {
 public:
  virtual ~SimProcess() = default;
  // The exit status once the process has ended; none while it runs.
  virtual std::optional<int> returncode() = 0;
  // Asks the process to end (SIGTERM).
  virtual void terminate() = 0;
  // Ends the process at once (SIGKILL).
  virtual void kill() = 0;
  // Completes when the process has ended, with its exit status.
  virtual awaitable<int> wait() = 0;
  // The processes of the sim's process group that still run besides the sim itself and
  // velko's own watcher of the group, as "PID (NAME)": what the sim started and did not end.
  // None for a process that has no group of its own.
  virtual std::vector<std::string> group_left() { return {}; }
};

// The most scalar values that an observation may hold for a sensor space of `variables`
// variables: far more than the space has, so that a sim whose observations stray a little
// from its description still runs, but an observation of millions of values for a space of a
// few is refused before it is built.
inline std::size_t most_observation_values(std::size_t variables) { return 4 * variables + 4096; }

// What a sim client is made with.
struct ClientOptions {
  // Names the run to the sim: Make carries it (as its run, sim and env id).
  std::string run_id;
  // Where the sim serves: "localhost:PORT".
  std::string address;
  // The sim's initial settings, which Make carries.
  boost::json::object env_init;
  // Most bytes of one answer; a larger one fails its call.
  std::size_t max_answer_bytes = DEFAULT_MAX_ANSWER_BYTES;
};

// What a reset gives the sim's env: the seed of its random source (none: the env keeps its
// own) and an options JSON object (none when empty). A sim built before them ignores both.
struct ResetArgs {
  std::optional<std::uint64_t> seed;
  boost::json::object options;
};

// A connection to a serving sim, one call of the sim protocol (docs/sim-protocol.md) per
// operation. Answers are JSON-like values; the caller checks their shape (a reset answers two
// parts, a step five). A call fails with an ordinary error when the sim fails it or cannot be
// reached, with BadAnswer when its answer is malformed or over the client's bounds, and with
// Interrupted when it is cancelled; no call has a time limit of its own (see sim_call.h).
class SimClient {
 public:
  virtual ~SimClient() = default;
  // Init: the sim says what it takes (steps sent ahead, batches).
  virtual awaitable<void> init() = 0;
  // Make: the sim makes its env with the client's run id and initial settings.
  virtual awaitable<void> make() = 0;
  // Close: the sim lets go of its env.
  virtual awaitable<void> close() = 0;
  // {"sensor_space": {"mappings": [...]}, "action_space": {"mappings": [...]}}
  virtual awaitable<boost::json::value> get_mappings() = 0;
  // The descriptions of the sim's sensor and action spaces.
  virtual awaitable<boost::json::value> sensor_space_info() = 0;
  virtual awaitable<boost::json::value> action_space_info() = 0;
  // (observation, info)
  virtual awaitable<std::vector<boost::json::value>> reset(ResetArgs args = {}) = 0;
  // (observation, reward, terminated, truncated, info)
  virtual awaitable<std::vector<boost::json::value>> step(boost::json::value action) = 0;
  // The steps of the episode that the last reset started: up to `window` sent ahead of their
  // answers when the sim takes that, else one at a time; each answer awaited at most
  // `call_timeout_s` seconds. A client that cannot send steps ahead gives
  // one_step_at_a_time(*this, call_timeout_s) (episode_steps.h).
  virtual std::unique_ptr<EpisodeSteps> episode_steps(int window, double call_timeout_s) = 0;
  // True when the sim said, in its answer to init(), that it takes steps sent ahead.
  virtual bool takes_steps_ahead() const { return false; }
  // Ends the steps of the run once no more are to be made: a connection that carries steps
  // one at a time on one long stream ends it, and fails with BadAnswer naming the step when
  // the sim answered more steps than it was sent. Steps made after it start afresh.
  virtual awaitable<void> end_steps() { co_return; }
  // From now on, a reset or step answer whose observation holds more than
  // most_observation_values(variables) scalar values fails its call (a BadAnswer naming the
  // call), before its value is built. `variables`: those of the sim's sensor space. A client
  // that cannot tell ignores it.
  virtual void bound_observations(std::size_t /*variables*/) {}
  // True when the sim said, in its answer to init(), that it takes batches of steps.
  virtual bool takes_batches() const { return false; }
  // The steps of the episode that the last reset started, in batches as `batching` says,
  // each answer awaited at most `call_timeout_s` seconds; none when the sim takes no
  // batches (it did not announce them in its answer to init()) or `batching` asks for none.
  virtual std::unique_ptr<EpisodeSteps> episode_batches(StepBatching /*batching*/,
                                                        double /*call_timeout_s*/) {
    return nullptr;
  }
  // A new episode started by `args` and its steps, in batches as `batching` says, the reset
  // going with the first of them on a stream that lasts from episode to episode (its answer
  // is the steps' reset_answer()); none when the sim does not take resets in batches (it did
  // not announce them in its answer to init()) or `batching` asks for no batches.
  virtual std::unique_ptr<EpisodeSteps> episode_with_reset(StepBatching /*batching*/,
                                                           double /*call_timeout_s*/,
                                                           ResetArgs /*args*/) {
    return nullptr;
  }
  // True when an episode_with_reset() may be started while the steps of the one before still
  // await answers (the sim said so in its answer to init()): its reset and first steps then
  // go out behind them.
  virtual bool takes_episodes_ahead() const { return false; }
};

// Called with each line that the sim writes.
using OutputCallback = std::function<void(const std::string& line)>;

// Starts sims on this machine and makes clients of them.
class SimConnection {
 public:
  virtual ~SimConnection() = default;
  // A loopback port that is free now (another process may take it before the sim does);
  // fails with an ordinary error when none can be had.
  virtual int get_free_port() = 0;
  // True when something else holds `port` on the loopback interface: a sim that ended before
  // it served may have lost its port to another run's sim.
  virtual bool port_in_use(int port) = 0;
  // Starts the sim at `path` (a directory with velko-sim.json, or an executable) to serve on
  // localhost at `port`; each line it writes goes to `on_output`. Yields the process once it
  // runs, not once it serves. Fails with an ordinary error saying why when it cannot be
  // started (no such sim, a description that is not valid, a program that cannot be run).
  virtual awaitable<std::unique_ptr<SimProcess>> make_in_process(std::string path, int port,
                                                                 OutputCallback on_output) = 0;
  // A client of the sim serving at `options.address`; nothing is sent until its first call.
  virtual std::unique_ptr<SimClient> make(ClientOptions options) = 0;
  // Most steps of an episode sent ahead of their answers to a sim that takes them (0 or 1:
  // one at a time): the connection's setting, the same for every run and check it serves.
  virtual int steps_ahead() const = 0;
};

}  // namespace velko::dataset_replay
