// The check of a validation that sends steps ahead of their answers, as a report run sends
// them to a sim that takes that, and compares the answers with the same steps one at a time.
#pragma once

#include "common/async.h"

namespace velko::sim_commands {

struct ValidationRun;

// For a sim that announces steps sent ahead: the same sampled actions one at a time, then up
// to the sim connection's steps_ahead() sent ahead, then in batches for a sim that takes them,
// each after a Reset with the validation's seed. A difference is a warning; a sim that breaks
// the rules of the stream fails. Skipped for a sim that does not announce them, or when the
// connection steps one at a time. Yields whether the checks can go on.
awaitable<bool> check_steps_ahead(ValidationRun& run);

}  // namespace velko::sim_commands
