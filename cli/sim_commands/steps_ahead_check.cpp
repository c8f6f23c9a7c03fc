#include "cli/sim_commands/steps_ahead_check.h"

#include <algorithm>
#include <cstdint>

#include "cli/sim_commands/validation_run.h"
#include "common/console.h"
#include "main/dataset_replay/episode_steps.h"
#include "spaces/space_check.h"

namespace velko::sim_commands {

namespace json = boost::json;

namespace {

// Most steps that the comparison of steps sent ahead with steps one at a time makes each way.
constexpr std::int64_t kMaxAheadSteps = 1'000;

// True for a step answer that ends its episode (terminated or truncated).
bool ends_episode(const std::vector<json::value>& answer) {
  auto set = [](const json::value& flag) { return flag.is_bool() && flag.get_bool(); };
  return answer.size() == 5 && (set(answer[2]) || set(answer[3]));
}

// The name of the first part in which two step answers differ.
std::string differing_part(const std::vector<json::value>& one,
                           const std::vector<json::value>& other) {
  static const char* const kParts[] = {"observation", "reward", "terminated", "truncated", "info"};
  for (std::size_t i = 0; i < std::min(one.size(), other.size()); ++i) {
    if (one[i] != other[i]) {
      std::string part = i < std::size(kParts) ? kParts[i] : "part " + std::to_string(i + 1);
      return "the " + part + " " + shown(other[i]) + " instead of " + shown(one[i]);
    }
  }
  return plural(static_cast<std::int64_t>(other.size()), "value", "values") + " instead of " +
         std::to_string(one.size());
}

// What stepping ahead one way found against the same steps one at a time.
struct AheadRun {
  std::int64_t answered = 0;
  // The first difference from one at a time; empty for none.
  std::string difference;
  // How the steps went: "sent ahead" or "in batches".
  std::string way;
};

// Sends `actions` on `stream` as a replay sends them, and compares the answers with
// `expected`; `at` names where it was when it throws.
awaitable<AheadRun> run_ahead(dataset_replay::EpisodeSteps& stream,
                              const std::vector<json::value>& actions,
                              const std::vector<std::vector<json::value>>& expected,
                              const std::string& way, std::string& at) {
  const auto total = static_cast<std::int64_t>(actions.size());
  const auto count = static_cast<std::int64_t>(expected.size());
  AheadRun run;
  run.way = way;
  std::int64_t sent = 0;
  bool ended = false;
  while (!ended && run.answered < total) {
    while (sent < total && sent - run.answered < stream.window()) {
      stream.send(actions[static_cast<std::size_t>(sent++)]);
    }
    at = "step " + std::to_string(run.answered + 1) + " " + way;
    std::vector<json::value> answer = co_await stream.next();
    ++run.answered;
    ended = ends_episode(answer);
    if (!run.difference.empty()) continue;
    if (run.answered > count) {
      run.difference = "the episode went on past step " + std::to_string(count) +
                       ", where it ended one at a time";
    } else if (answer != expected[static_cast<std::size_t>(run.answered - 1)]) {
      run.difference = "step " + std::to_string(run.answered) + " " + way + " answered " +
                       differing_part(expected[static_cast<std::size_t>(run.answered - 1)], answer);
    }
  }
  at = "the end of the steps " + way;
  co_await stream.finish(ended);
  co_return run;
}

}  // namespace

awaitable<bool> check_steps_ahead(ValidationRun& run) {
  if (!run.client->takes_steps_ahead()) {
    run.skip(Check::kStepsAhead, "the sim does not announce them, so it is stepped one at a time");
    co_return true;
  }
  // The window of the report ahead: what the sim connection was set to (VELKO_STEPS_AHEAD).
  const int window = run.parts.sims.steps_ahead();
  if (window <= 1) {
    run.skip(Check::kStepsAhead,
             "VELKO_STEPS_AHEAD is " + std::to_string(window) +
                 ", so steps go one at a time, even to a sim that takes them sent ahead");
    co_return true;
  }
  const std::int64_t total = std::min(run.options.steps, kMaxAheadSteps);
  auto line = run.parts.console.status("Stepping the sim with steps sent ahead...");
  const char* advice =
      "answer steps sent ahead as docs/sim-protocol.md says, or leave steps_ahead false in the "
      "answer to Init";

  // The same sampled actions twice, each time after a fresh Reset: one at a time up to the end
  // of the episode, then sent ahead as a replay sends a recorded episode that may go on
  // longer than the sim's, so that the sim must drop what comes after its ending answer.
  spaces::ComputeSpace sampler(*run.action_space, run.options.seed);
  std::vector<json::value> actions;
  for (std::int64_t i = 0; i < total; ++i) actions.push_back(sampler.sample());
  std::vector<std::vector<json::value>> expected;
  std::exception_ptr error;
  std::string at;
  try {
    at = "the reset before the steps one at a time";
    (void)co_await run.timed(run.client->reset(run.seeded()), "reset()");
    for (const json::value& action : actions) {
      at = "step " + std::to_string(expected.size() + 1) + " one at a time";
      expected.push_back(co_await run.timed(run.client->step(action), "step()"));
      if (ends_episode(expected.back())) break;
    }
    at = "the end of the steps one at a time";
    co_await dataset_replay::sim_call(run.client->end_steps(), "step()",
                                      run.options.call_timeout_s);
    at = "the reset before the steps sent ahead";
    (void)co_await run.timed(run.client->reset(run.seeded()), "reset()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  if (error) {
    co_await run.call_failed(Check::kStepsAhead, error, at, advice);
    co_return false;
  }

  const auto count = static_cast<std::int64_t>(expected.size());
  // Sent ahead one to a message, then, for a sim that takes them, in batches after another
  // Reset, as the report run would send them (VELKO_STEP_BATCH 0 or 1: none): each way must
  // answer as one at a time.
  const dataset_replay::StepBatching batching = run.parts.timings.batching;
  const bool batches = run.client->takes_batches() && batching.steps > 1;
  // Steps in flight in batches once they were sent; 0 while none were.
  int batch_window = 0;
  bool resets_in_batches = false;
  AheadRun ahead;
  try {
    std::unique_ptr<dataset_replay::EpisodeSteps> stream =
        run.client->episode_steps(window, run.options.call_timeout_s);
    ahead = co_await run_ahead(*stream, actions, expected, "sent ahead", at);
    stream.reset();
    if (batches && ahead.difference.empty() && ahead.answered == count) {
      line.update("Stepping the sim with steps in batches...");
      at = "the reset before the steps in batches";
      // A sim that takes the reset in the first batch gets it there, as a report run sends it.
      stream = run.client->episode_with_reset(batching, run.options.call_timeout_s, run.seeded());
      resets_in_batches = stream != nullptr;
      if (resets_in_batches) {
        (void)co_await stream->reset_answer();
      } else {
        (void)co_await run.timed(run.client->reset(run.seeded()), "reset()");
        stream = run.client->episode_batches(batching, run.options.call_timeout_s);
      }
      if (stream) {
        batch_window = stream->window();
        ahead = co_await run_ahead(*stream, actions, expected, "in batches", at);
        stream.reset();
        // A stream kept across episodes is closed and read to its end, as at the end of a
        // report run: an answer after the episode's last fails here too.
        at = "the end of the steps in batches";
        co_await dataset_replay::sim_call(run.client->end_steps(), "step()",
                                          run.options.call_timeout_s);
      }
    }
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  if (error) {
    co_await run.call_failed(Check::kStepsAhead, error, at, advice);
    co_return false;
  }

  std::string done =
      plural(count, "step", "steps") + " after a fresh Reset with seed " +
      std::to_string(run.options.seed) + ", up to " + std::to_string(window) + " sent ahead" +
      (batch_window > 0 ? " and in batches of up to " + std::to_string(batching.steps) + ", " +
                              std::to_string(batch_window) + " in flight" +
                              (resets_in_batches ? ", the reset in the first" : "")
                        : "");
  if (ahead.difference.empty() && ahead.answered == count) {
    run.pass(Check::kStepsAhead, done + ", answered as the same steps one at a time");
  } else {
    if (ahead.difference.empty()) {
      ahead.difference = "the episode ended at step " + std::to_string(ahead.answered) + " " +
                         ahead.way + ", not at step " + std::to_string(count) + " as one at a time";
    }
    CheckResult& result = run.result.result(Check::kStepsAhead);
    result.outcome = Outcome::kWarning;
    result.summary = done + ": " + ahead.difference;
    result.advice =
        "every pass was reset with the same seed: make the sim's reset seed its random "
        "source, or a report ahead records other values than the sim gives one step at a time";
  }
  co_return true;
}

}  // namespace velko::sim_commands
