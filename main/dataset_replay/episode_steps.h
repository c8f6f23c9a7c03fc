// The steps of one recorded episode as they go to the sim: sent ahead of their answers, up to
// a window, to a sim that takes that; one at a time to any other.
#pragma once

#include <memory>
#include <stdexcept>
#include <vector>

#include <boost/json/value.hpp>

#include "common/async.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {

class SimClient;

// The steps of one episode, made after its reset. Answers come in the order of the steps.
// Destroying it while steps are unanswered cancels them: their answers are never read.
class EpisodeSteps {
 public:
  virtual ~EpisodeSteps() = default;
  // Most steps that may be unanswered at once; 1 when the sim is stepped one at a time.
  virtual int window() const = 0;
  // Sends the next step with `action`, taken at once: the caller may change it afterwards.
  // Only while fewer than window() steps are unanswered.
  virtual void send(const boost::json::value& action) = 0;
  // Sends at once the steps held back to fill a batch: the caller has no more to send.
  virtual void send_now() {}
  // The answer of the oldest unanswered step (observation, reward, terminated, truncated,
  // info). TimeoutError "the sim's step() did not answer within S s" when it does not come
  // within the time limit, counted from the start of the wait.
  virtual awaitable<std::vector<boost::json::value>> next() = 0;
  // Ends the episode's steps once the replay has taken its last answer; `sim_ended` when that
  // answer ended the episode (terminated or truncated). Steps still unanswered otherwise are
  // cancelled.
  virtual awaitable<void> finish(bool sim_ended) = 0;
  // The answer of the reset that the steps began with (observation, info), before any step's:
  // for steps made with SimClient::episode_with_reset() only. TimeoutError "the sim's reset()
  // did not answer within S s" when it does not come within the time limit.
  // (Defined here: the sim connection module, loaded apart, shares this type with velko.)
  virtual awaitable<std::vector<boost::json::value>> reset_answer() {
    throw std::logic_error("the steps of this episode did not begin with its reset");
    co_return std::vector<boost::json::value>{};
  }
};

// The steps of an episode one at a time through client.step(), each answer awaited at most
// `call_timeout_s` seconds: what any sim client can do.
std::unique_ptr<EpisodeSteps> one_step_at_a_time(SimClient& client, double call_timeout_s);

}  // namespace velko::dataset_replay
