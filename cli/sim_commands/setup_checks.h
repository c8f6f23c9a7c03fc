// The checks of a validation before the sim is stepped: it starts and serves, answers Init
// and Make, and has mappings and spaces that a replay can use.
#pragma once

#include "common/async.h"

namespace velko::sim_commands {

struct ValidationRun;

// Starts the sim and waits until it serves, within the start limit. Each yields whether the
// checks can go on.
awaitable<bool> check_start(ValidationRun& run);
// Connects to the sim and makes its env with the options' initial settings.
awaitable<bool> check_set_up(ValidationRun& run);
// Reads the mappings (from the spaces when the sim has none) and both spaces, and bounds the
// sim's observations by its sensor space.
awaitable<bool> check_mappings_and_spaces(ValidationRun& run);

}  // namespace velko::sim_commands
