// One validation while it runs: what it was given, the sim it started and what the checks found
// so far. The checks (setup_checks.h, step_checks.h, steps_ahead_check.h, close_check.h) take
// it in turn.
#pragma once

#include <chrono>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "cli/sim_commands/check_wording.h"
#include "cli/sim_commands/validator.h"
#include "common/async.h"
#include "common/errors.h"
#include "main/dataset_replay/sim_call.h"
#include "main/dataset_replay/sim_connection.h"
#include "main/dataset_replay/sim_start.h"
#include "spaces/spaces.h"

namespace velko::sim_commands {

// is_timeout, for the checks: the one of common/errors.h.
using velko::is_timeout;

// The error that `error` was raised for, if any.
std::exception_ptr cause_of(const std::exception_ptr& error);

// The state that the checks of one validation share, and how they call the sim and record
// what they found.
struct ValidationRun {
  ValidationRun(const SimValidation& parts, ValidateOptions options);

  const SimValidation& parts;
  ValidateOptions options;
  Validation result;
  dataset_replay::SimOutput output;
  std::unique_ptr<dataset_replay::SimProcess> process;
  std::unique_ptr<dataset_replay::SimClient> client;
  std::string address;
  std::optional<spaces::Space> sensor_space;
  std::optional<spaces::Space> action_space;
  // True once the process has been asked to end (by the close check).
  bool stopped = false;
  // The sensor mappings' other names by slot path, to name a sensor without a value.
  std::map<std::string, std::string> sensor_names;

  // Awaits a call of the sim under the time limit and notes how long it took.
  template <class T>
  awaitable<T> timed(awaitable<T> call, const char* name);
  // Records a failed call: a time-out fails the call times, any other error `check`, with
  // how the sim ended if it did. Raises an interrupt again.
  awaitable<void> call_failed(Check check, std::exception_ptr error, std::string context,
                              std::string advice);

  // A reset with the validation's seed (later resets of an episode that ended go unseeded,
  // so that the env's random source goes on, as an env's first seeded reset sets it up).
  dataset_replay::ResetArgs seeded() const;

  // Records the outcome of `check`.
  void pass(Check check, std::string summary);
  void fail(Check check, std::string summary, std::string advice, std::string output = "");
  void skip(Check check, std::string summary);
  // A warning of a check whose answers were well formed but had sensors without a value.
  void warn_unread(Check check, std::string summary);

  // The sensors at these slot paths as a message names them: 'tank_level' (['tank_level']).
  std::string sensors_text(const std::vector<std::string>& paths) const;
};

template <class T>
awaitable<T> ValidationRun::timed(awaitable<T> call, const char* name) {
  const auto started = std::chrono::steady_clock::now();
  std::exception_ptr error;
  if constexpr (std::is_void_v<T>) {
    try {
      co_await dataset_replay::sim_call(std::move(call), name, options.call_timeout_s);
    } catch (...) {
      error = std::current_exception();
    }
    if (!error || !is_interrupt(error)) result.times.add(name, seconds_since(started));
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<T> answer;
    try {
      answer.emplace(
          co_await dataset_replay::sim_call(std::move(call), name, options.call_timeout_s));
    } catch (...) {
      error = std::current_exception();
    }
    if (!error || !is_interrupt(error)) result.times.add(name, seconds_since(started));
    if (error) std::rethrow_exception(error);
    co_return std::move(*answer);
  }
}

}  // namespace velko::sim_commands
