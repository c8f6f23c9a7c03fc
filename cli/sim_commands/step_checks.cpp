#include "cli/sim_commands/step_checks.h"

#include <cstdint>
#include <optional>

#include "cli/sim_commands/validation_run.h"
#include "common/console.h"
#include "common/json_access.h"
#include "spaces/space_check.h"

namespace velko::sim_commands {

namespace json = boost::json;

namespace {

// The status line says how far the steps are every this many steps.
constexpr std::int64_t kStatusEvery = 10;

}  // namespace

awaitable<bool> check_reset(ValidationRun& run) {
  std::vector<json::value> answer;
  std::exception_ptr error;
  try {
    answer = co_await run.timed(run.client->reset(run.seeded()), "reset()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  const char* advice = "make Reset answer [observation, info] (docs/sim-protocol.md)";
  if (error) {
    co_await run.call_failed(Check::kReset, error, "", advice);
    co_return false;
  }
  run.result.episodes = 1;
  if (answer.size() != 2) {
    run.fail(Check::kReset,
             "Reset answered " +
                 plural(static_cast<std::int64_t>(answer.size()), "value", "values") +
                 " instead of 2 (observation, info)",
             advice);
    co_return false;
  }
  std::vector<std::string> problems;
  std::vector<std::string> advices;
  std::vector<std::string> nulls;
  if (std::optional<std::string> problem =
          spaces::value_problem(*run.sensor_space, answer[0], nulls)) {
    problems.push_back("the observation is not in the sensor space, " + *problem);
    advices.push_back("keep observations within the sensor space, or widen it");
  }
  if (!answer[1].is_object()) {
    problems.push_back("info is " + json_access::kind_name(answer[1]) + ", not a map");
    advices.push_back("answer info as a map, such as {}");
  }
  if (problems.empty() && !nulls.empty()) {
    run.warn_unread(Check::kReset,
                    "the observation of the reset has no value for " + run.sensors_text(nulls));
  } else if (problems.empty()) {
    run.pass(Check::kReset,
             "it answered [observation, info] with an observation of the sensor space");
  } else {
    run.fail(Check::kReset, joined(problems), joined(advices));
  }
  co_return true;
}

awaitable<bool> check_steps(ValidationRun& run) {
  const std::int64_t total = run.options.steps;
  auto line = run.parts.console.status("Stepping the sim with sampled actions...");
  spaces::ComputeSpace sampler(*run.action_space, run.options.seed);
  const char* advice =
      "make Step answer [observation, reward, terminated, truncated, info] for every value of "
      "the action space (docs/sim-protocol.md)";
  Tally observations;
  Tally types;
  Tally unread;
  for (std::int64_t i = 1; i <= total; ++i) {
    if (i % kStatusEvery == 1) {
      line.update("Step " + std::to_string(i) + " of " + std::to_string(total) + "...");
    }
    const json::value action = sampler.sample();
    std::string at = "step " + std::to_string(i) + " of " + std::to_string(total);
    std::vector<json::value> answer;
    std::exception_ptr error;
    try {
      answer = co_await run.timed(run.client->step(action), "step()");
    } catch (const std::exception&) {
      error = std::current_exception();
    }
    if (error) {
      co_await run.call_failed(Check::kSteps, error, at + " (action " + shown(action) + ")",
                               advice);
      co_return false;
    }
    run.result.steps_done = i;
    if (answer.size() != 5) {
      run.fail(Check::kSteps,
               at + " answered " +
                   plural(static_cast<std::int64_t>(answer.size()), "value", "values") +
                   " instead of 5 (observation, reward, terminated, truncated, info)",
               advice);
      co_return false;
    }
    std::vector<std::string> nulls;
    if (std::optional<std::string> problem =
            spaces::value_problem(*run.sensor_space, answer[0], nulls)) {
      observations.add("the observation of " + at + " is not in the sensor space, " + *problem);
    } else if (!nulls.empty()) {
      unread.add("the observation of " + at + " has no value for " + run.sensors_text(nulls));
    }
    if (!answer[1].is_number()) {
      types.add("the reward of " + at + " is " + json_access::kind_name(answer[1]) +
                ", not a number");
    } else if (!answer[2].is_bool() || !answer[3].is_bool()) {
      const json::value& flag = answer[2].is_bool() ? answer[3] : answer[2];
      types.add(std::string(answer[2].is_bool() ? "truncated" : "terminated") + " of " + at +
                " is " + json_access::kind_name(flag) + ", not true or false");
    } else if (!answer[4].is_object()) {
      types.add("info of " + at + " is " + json_access::kind_name(answer[4]) + ", not a map");
    }
    bool ended = (answer[2].is_bool() && answer[2].get_bool()) ||
                 (answer[3].is_bool() && answer[3].get_bool());
    if (!ended || i == total) continue;

    // An ended episode is reset, and the count goes on.
    std::vector<json::value> reset;
    try {
      reset = co_await run.timed(run.client->reset(), "reset()");
    } catch (const std::exception&) {
      error = std::current_exception();
    }
    std::string after = "the reset after " + at + " ended an episode";
    if (error) {
      co_await run.call_failed(Check::kSteps, error, after,
                               "make Reset answer [observation, info] whenever an episode ends");
      co_return false;
    }
    ++run.result.episodes;
    if (reset.size() != 2) {
      run.fail(Check::kSteps,
               after + " answered " +
                   plural(static_cast<std::int64_t>(reset.size()), "value", "values") +
                   " instead of 2 (observation, info)",
               "make Reset answer [observation, info] whenever an episode ends");
      co_return false;
    }
    nulls.clear();
    if (std::optional<std::string> problem =
            spaces::value_problem(*run.sensor_space, reset[0], nulls)) {
      observations.add("the observation of " + after + " is not in the sensor space, " + *problem);
    } else if (!nulls.empty()) {
      unread.add("the observation of " + after + " has no value for " + run.sensors_text(nulls));
    }
  }

  // The stream that carried the steps is read to its end: an answer that no step asked for
  // fails the check, however late it came.
  std::exception_ptr end_error;
  try {
    co_await dataset_replay::sim_call(run.client->end_steps(), "step()",
                                      run.options.call_timeout_s);
  } catch (const std::exception&) {
    end_error = std::current_exception();
  }
  if (end_error) {
    co_await run.call_failed(Check::kSteps, end_error, "the end of the steps",
                             "answer each step once, in order (docs/sim-protocol.md)");
    co_return false;
  }

  std::string done = plural(run.result.steps_done, "step", "steps") + " over " +
                     plural(run.result.episodes, "episode", "episodes") +
                     " with actions sampled from the action space (seed " +
                     std::to_string(run.options.seed) + ")";
  if (observations.count == 0 && types.count == 0 && unread.count > 0) {
    run.warn_unread(Check::kSteps, done + ": " + unread.text("observation", "observations"));
  } else if (observations.count == 0 && types.count == 0) {
    run.pass(Check::kSteps,
             done + ", each answer well formed with an observation of the sensor space");
  } else {
    std::vector<std::string> problems = {types.text("step", "steps"),
                                         observations.text("observation", "observations")};
    std::vector<std::string> advices;
    if (types.count) advices.push_back(advice);
    if (observations.count)
      advices.push_back("keep observations within the sensor space, or widen it");
    run.fail(Check::kSteps, done + ": " + joined(problems), joined(advices));
  }
  co_return true;
}

}  // namespace velko::sim_commands
