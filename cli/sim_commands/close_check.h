// The last check of a validation: Close answers and the sim ends when asked, leaving nothing of
// its process group behind; then the verdict on the times of its calls.
#pragma once

#include "common/async.h"

namespace velko::sim_commands {

struct ValidationRun;

// Closes the sim's env, stops the sim and records the close check and, unless a call already
// failed it, the call times check.
awaitable<void> check_close(ValidationRun& run);

}  // namespace velko::sim_commands
