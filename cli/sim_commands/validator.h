// The validation of a sim, as `velko sim validate` and `velko sim publish` run it: starts the
// sim as the report run does and checks, over the sim protocol, that it serves, answers its
// set-up, has mappings and spaces that a replay can use, resets and steps with sampled actions
// into values of its spaces, answers every call in time and ends cleanly when asked.
#pragma once

#include <cstdint>
#include <string>

#include <boost/json/object.hpp>

#include "cli/sim_commands/validation.h"
#include "common/async.h"
#include "main/dataset_replay/host_sim_module.h"
#include "main/dataset_replay/run_context.h"
#include "main/dataset_replay/sim_connection.h"

namespace spdlog {
class logger;
}

namespace velko::sim_commands {

// Default of --steps.
inline constexpr std::int64_t kDefaultValidateSteps = 100;

// What is validated and how.
struct ValidateOptions {
  std::string path = ".";
  std::int64_t steps = kDefaultValidateSteps;
  // Seeds the sampling of actions, so that a validation can be repeated.
  std::uint64_t seed = 0;
  // The sim's initial settings, given to Make.
  boost::json::object env_init;
  // Seconds that one call may take; the report run's default.
  double call_timeout_s = dataset_replay::DEFAULT_CALL_TIMEOUT_S;
  // Only the checks that take no step (start, Init and Make, mappings and spaces), then the
  // sim is stopped: what `sim publish` checks before it publishes anything.
  bool quick = false;
  // Most bytes of one answer of the sim; the report run's default.
  std::size_t max_answer_bytes = dataset_replay::DEFAULT_MAX_ANSWER_BYTES;
};

// What a validation needs, lent by its maker: the host with the real sim connection, a test
// with fakes.
struct SimValidation {
  // Starts the sim and makes its client; its steps_ahead() is the window that steps are sent
  // ahead with, as in a report run.
  dataset_replay::SimConnection& sims;
  // The serving check and the tail of a sim's output.
  dataset_replay::SimModule& host_sim;
  // Status lines while it runs.
  Console& console;
  spdlog::logger& logger;
  // The start limit and the grace before a sim that does not end is killed: the report run's.
  dataset_replay::Timings timings = {};
};

// Runs the checks in order, stopping at the first that cannot go on, and yields what each
// found. The sim process is stopped on every way out, an interrupt included; an interrupt is
// raised as Interrupted once it is.
awaitable<Validation> validate_sim(const SimValidation& parts, ValidateOptions options);

}  // namespace velko::sim_commands
