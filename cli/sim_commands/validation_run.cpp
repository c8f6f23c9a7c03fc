#include "cli/sim_commands/validation_run.h"

#include "common/errors.h"
#include "common/literal.h"
#include "main/dataset_replay/host_sim_module.h"
#include "sim_connection/sim_command.h"

namespace velko::sim_commands {

namespace {

using Clock = std::chrono::steady_clock;

// Seconds that a sim whose call failed has to be seen ending, so that its end and its last
// output can be shown with the failure.
constexpr double kEndSettleS = 0.3;

constexpr const char* kUnreadAdvice =
    "a null is a reading without a value: a report run ends an episode's replay at the "
    "first row where a sensor it compares has none; send a number wherever there is one";

}  // namespace

std::exception_ptr cause_of(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::nested_exception& nested) {
    return nested.nested_ptr();
  } catch (...) {
    return nullptr;
  }
}

ValidationRun::ValidationRun(const SimValidation& parts_in, ValidateOptions options_in)
    : parts(parts_in), options(std::move(options_in)) {
  result.path = options.path;
  result.steps_asked = options.steps;
  result.seed = options.seed;
  result.call_timeout_s = options.call_timeout_s;
}

awaitable<void> ValidationRun::call_failed(Check check, std::exception_ptr error,
                                           std::string context, std::string advice) {
  error = as_interrupt_if_cancelled(std::move(error));
  if (is_interrupt(error)) std::rethrow_exception(error);
  std::string where = context.empty() ? "" : context + ": ";
  if (is_timeout(error)) {
    fail(Check::kCallTimes, where + error_text(error),
         "make the sim answer sooner, or allow more with --call-timeout");
    result.result(check).summary = "not finished: a call did not answer in time";
    co_return;
  }
  // A sim that crashed fails its call as its connection drops, a moment before its end can be
  // seen; its last lines come with that end.
  auto deadline = Clock::now() + seconds_to_duration(kEndSettleS);
  while (process && !process->returncode() && Clock::now() < deadline) {
    co_await sleep_for(std::chrono::milliseconds(10));
  }
  std::string summary = where + error_text(error);
  std::string tail;
  if (std::optional<int> code = process ? process->returncode() : std::nullopt) {
    co_await sleep_for(std::chrono::milliseconds(20));
    summary += "; the sim " + sim_connection::describe_exit(*code);
    tail = parts.host_sim.output_tail(output.joined());
  }
  fail(check, std::move(summary), std::move(advice), std::move(tail));
}

dataset_replay::ResetArgs ValidationRun::seeded() const {
  dataset_replay::ResetArgs args;
  args.seed = options.seed;
  return args;
}

void ValidationRun::pass(Check check, std::string summary) {
  CheckResult& done = result.result(check);
  done.outcome = Outcome::kPassed;
  done.summary = std::move(summary);
}

void ValidationRun::fail(Check check, std::string summary, std::string advice,
                         std::string shown_output) {
  CheckResult& done = result.result(check);
  done.outcome = Outcome::kFailed;
  done.summary = std::move(summary);
  done.advice = std::move(advice);
  done.output = std::move(shown_output);
}

void ValidationRun::skip(Check check, std::string summary) {
  CheckResult& done = result.result(check);
  done.outcome = Outcome::kSkipped;
  done.summary = std::move(summary);
}

void ValidationRun::warn_unread(Check check, std::string summary) {
  CheckResult& done = result.result(check);
  done.outcome = Outcome::kWarning;
  done.summary = std::move(summary);
  done.advice = kUnreadAdvice;
}

std::string ValidationRun::sensors_text(const std::vector<std::string>& paths) const {
  std::string text;
  for (const std::string& path : paths) {
    if (!text.empty()) text += ", ";
    auto named = sensor_names.find(path);
    text += named != sensor_names.end() ? quoted(named->second) + " (" + path + ")" : "at " + path;
  }
  return (paths.size() == 1 ? "the sensor " : "the sensors ") + text;
}

}  // namespace velko::sim_commands
