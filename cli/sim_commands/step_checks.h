// The checks of a validation that step the sim: a seeded Reset, then steps with actions
// sampled from the action space, each answer inside the spaces.
#pragma once

#include "common/async.h"

namespace velko::sim_commands {

struct ValidationRun;

// Resets the sim with the validation's seed and checks its answer. Each yields whether the
// checks can go on.
awaitable<bool> check_reset(ValidationRun& run);
// Makes the options' number of steps with sampled actions, resetting each episode that ends,
// and checks every answer.
awaitable<bool> check_steps(ValidationRun& run);

}  // namespace velko::sim_commands
