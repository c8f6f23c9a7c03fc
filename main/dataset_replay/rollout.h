// Replaying one recorded episode through the sim.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/async.h"
#include "main/dataset_replay/episode_steps.h"
#include "main/dataset_replay/predictions.h"
#include "main/dataset_replay/recorded_actions.h"

namespace velko::dataset_replay {

class CoreLibrary;
class SimClient;
struct Plan;

// The sensor columns whose predictions an episode's replay records: those of the plan's sensor
// pairs, each once, in the order of its first pair.
std::vector<std::string> predicted_columns(const Plan& plan);

// Resets the sim, steps it with the episode's recorded actions and records the sim's value at
// every planned sensor slot: per predicted column, one value or none per pair on the column
// and row reached, rows first, then pairs in plan order. A fault of the recorded
// episode (a missing member, a value of the wrong kind, a row past a column's end) is raised
// as the node's, a NodeAnswerError, when the replay reaches it.
// The core library reads the sensors and samples the action template.
//
// A sim that takes batches is sent its steps in batches as `batching` says. Otherwise up to
// `steps_ahead` steps are sent ahead of their answers to a sim that takes that (0 or 1:
// one at a time); what is recorded is the same either way. Each answer is awaited at most
// `call_timeout_s` seconds. The reset carries `seed` when there is one.
awaitable<EpisodePredictions> rollout_episode(CoreLibrary& core, SimClient& client,
                                              const Plan& plan, const RecordedEpisode& episode,
                                              double call_timeout_s, int steps_ahead,
                                              StepBatching batching = {},
                                              std::optional<std::uint64_t> seed = std::nullopt);

// rollout_episode in two parts, so that a process's next episode goes out while the answers
// of the one before come in: start() sends the reset and first steps of a sim that takes
// episodes ahead (for another sim it does nothing), and run() replays the rest. `episode` is a
// view: its RecordedActions must outlive the rollout.
class EpisodeRollout {
 public:
  EpisodeRollout(CoreLibrary& core, SimClient& client, const Plan& plan, RecordedEpisode episode,
                 double call_timeout_s, int steps_ahead, StepBatching batching,
                 std::optional<std::uint64_t> seed);
  ~EpisodeRollout();
  EpisodeRollout(const EpisodeRollout&) = delete;
  EpisodeRollout& operator=(const EpisodeRollout&) = delete;

  // Sends the reset and the first steps, as far as the window allows, behind whatever the
  // client's stream of episodes still carries. Call it before run(), at most once.
  awaitable<void> start();

  // Replays the episode and returns its predictions, as rollout_episode does. On the stream
  // of episodes, `sent_all` (when given) is awaited once, when every step has been sent: the
  // next episode's start() then goes out behind them.
  awaitable<EpisodePredictions> run(std::function<awaitable<void>()> sent_all = {});

  // True when run() stopped the episode on its side (an observation it could not read) with
  // steps unanswered: their stream was cancelled, and a next episode started behind them
  // has to be made again and run from its start.
  bool cut_short() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velko::dataset_replay
