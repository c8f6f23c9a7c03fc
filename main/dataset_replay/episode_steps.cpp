#include "main/dataset_replay/episode_steps.h"

#include <optional>
#include <stdexcept>
#include <utility>

#include "main/dataset_replay/sim_call.h"
#include "main/dataset_replay/sim_connection.h"

namespace velko::dataset_replay {

namespace json = boost::json;

namespace {

// Each step is made when its answer is asked for.
class OneStepAtATime final : public EpisodeSteps {
 public:
  OneStepAtATime(SimClient& client, double call_timeout_s)
      : client_(client), call_timeout_s_(call_timeout_s) {}

  int window() const override { return 1; }

  void send(const json::value& action) override {
    if (action_) throw std::logic_error("a step was sent before the previous one was answered");
    action_ = action;
  }

  awaitable<std::vector<json::value>> next() override {
    if (!action_) throw std::logic_error("an answer was awaited for no step");
    json::value action = std::move(*action_);
    action_.reset();
    co_return co_await sim_call(client_.step(std::move(action)), "step()", call_timeout_s_);
  }

  awaitable<void> finish(bool) override { co_return; }

 private:
  SimClient& client_;
  double call_timeout_s_;
  std::optional<json::value> action_;
};

}  // namespace

std::unique_ptr<EpisodeSteps> one_step_at_a_time(SimClient& client, double call_timeout_s) {
  return std::make_unique<OneStepAtATime>(client, call_timeout_s);
}

}  // namespace velko::dataset_replay
