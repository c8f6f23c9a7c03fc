#include "cli/sim_commands/validator.h"

#include <boost/asio/this_coro.hpp>

#include "cli/sim_commands/close_check.h"
#include "cli/sim_commands/setup_checks.h"
#include "cli/sim_commands/step_checks.h"
#include "cli/sim_commands/steps_ahead_check.h"
#include "cli/sim_commands/validation_run.h"
#include "common/errors.h"

namespace velko::sim_commands {

namespace {

// The checks in order, up to the first that cannot go on.
awaitable<void> checks(ValidationRun& run) {
  bool go_on = co_await check_start(run);
  if (go_on) go_on = co_await check_set_up(run);
  if (go_on) go_on = co_await check_mappings_and_spaces(run);
  if (go_on && run.options.quick) {
    for (Check later :
         {Check::kReset, Check::kSteps, Check::kCallTimes, Check::kStepsAhead, Check::kClose}) {
      if (run.result.result(later).outcome != Outcome::kNotChecked) continue;
      run.skip(later, "not part of the quick checks");
    }
    co_return;
  }
  if (go_on) go_on = co_await check_reset(run);
  if (go_on) go_on = co_await check_steps(run);
  if (go_on) go_on = co_await check_steps_ahead(run);
  if (!go_on) co_return;
  co_await check_close(run);
}

}  // namespace

awaitable<Validation> validate_sim(const SimValidation& parts, ValidateOptions options) {
  ValidationRun run(parts, std::move(options));
  std::exception_ptr failure;
  try {
    co_await checks(run);
  } catch (...) {
    failure = as_interrupt_if_cancelled(std::current_exception());
  }
  run.client.reset();
  if (run.process && !run.stopped) {
    // The sim is stopped on every way out, an interrupt included.
    co_await boost::asio::this_coro::reset_cancellation_state();
    co_await dataset_replay::stop_sim(*run.process, run.parts.timings.terminate_grace_s);
  }
  // Whatever of its group is left goes with it.
  run.process.reset();
  if (failure) std::rethrow_exception(failure);
  co_return std::move(run.result);
}

}  // namespace velko::sim_commands
