#include "cli/sim_commands/close_check.h"

#include <chrono>
#include <csignal>

#include "cli/sim_commands/validation_run.h"
#include "common/errors.h"
#include "sim_connection/sim_command.h"

namespace velko::sim_commands {

namespace {

using Clock = std::chrono::steady_clock;

// Seconds that the rest of a sim's group has, at least, to end after the sim itself.
constexpr double kGroupEndS = 1;

}  // namespace

awaitable<void> check_close(ValidationRun& run) {
  std::vector<std::string> problems;
  std::vector<std::string> advices;
  std::exception_ptr error;
  try {
    co_await run.timed(run.client->close(), "close()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  error = error ? as_interrupt_if_cancelled(error) : nullptr;
  if (error && is_interrupt(error)) std::rethrow_exception(error);
  if (error && is_timeout(error)) {
    run.fail(Check::kCallTimes, error_text(error),
             "make the sim answer sooner, or allow more with --call-timeout");
    problems.push_back("Close did not answer in time");
  } else if (error) {
    problems.push_back("Close failed: " + error_text(error));
    advices.push_back("make Close answer");
  }
  run.client.reset();

  // The process ends when it is asked to, with nothing of its group left behind.
  run.stopped = true;
  const double grace = run.parts.timings.terminate_grace_s;
  Clock::time_point asked = Clock::now();
  run.process->terminate();
  std::optional<int> code;
  error = nullptr;
  try {
    code = co_await with_timeout(run.process->wait(), grace, "the sim did not end when asked");
  } catch (const TimeoutError&) {
  } catch (...) {
    error = std::current_exception();
  }
  if (error) {
    run.process->kill();
    std::rethrow_exception(error);
  }
  if (!code) {
    run.process->kill();
    problems.push_back("the sim did not end within " + seconds_text(grace) +
                       " s of SIGTERM, so it was killed");
    advices.push_back("end the sim when it gets SIGTERM");
  } else {
    // Status 0, or the end that SIGTERM itself gives a sim that does not catch it.
    if (*code != 0 && *code != -SIGTERM) {
      problems.push_back("the sim " + sim_connection::describe_exit(*code) + " when asked to end");
      advices.push_back("exit with status 0 on SIGTERM");
    }
    double left_s = std::max(kGroupEndS, grace - seconds_since(asked));
    auto deadline = Clock::now() + seconds_to_duration(left_s);
    std::vector<std::string> left = run.process->group_left();
    while (!left.empty() && Clock::now() < deadline) {
      co_await sleep_for(std::chrono::milliseconds(20));
      left = run.process->group_left();
    }
    if (!left.empty()) {
      run.process->kill();
      std::string list;
      for (const std::string& process : left) list += (list.empty() ? "" : ", ") + process;
      problems.push_back(plural(static_cast<std::int64_t>(left.size()), "process", "processes") +
                         " of its group still ran after it ended: " + list);
      advices.push_back("end what the sim starts when it ends (SIGTERM goes to its whole group)");
    }
  }
  if (problems.empty()) {
    run.pass(Check::kClose, "it answered, and the sim ended when asked and left nothing behind");
  } else {
    run.fail(Check::kClose, joined(problems), joined(advices));
  }

  if (run.result.result(Check::kCallTimes).outcome == Outcome::kNotChecked) {
    std::string slowest;
    double slowest_s = -1;
    for (const CallTimes::Summary& call : run.result.times.summaries()) {
      if (call.slowest_s > slowest_s) {
        slowest_s = call.slowest_s;
        slowest = call.call;
      }
    }
    run.pass(Check::kCallTimes,
             "every call answered within " + seconds_text(run.options.call_timeout_s) +
                 " s; the slowest was " + slowest + " in " + duration_text(slowest_s));
  }
}

}  // namespace velko::sim_commands
