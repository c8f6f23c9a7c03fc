// The bound of a sim's observations by its sensor space, set before the replay.
#pragma once

#include "common/async.h"

namespace velko::dataset_replay {

class SimClient;
struct ReportRun;

// Asks the sim for its sensor space and bounds its observations by the space's variables
// (SimClient::bound_observations): an observation far larger than the space is refused before
// it is built. A sim whose space cannot be had or read (an error status, a description that
// is not valid) is not bounded, as before. The call is bounded by `call_timeout_s`: its
// TimeoutError and an interrupt go on.
awaitable<void> bound_observations(const ReportRun& run, SimClient& client, double call_timeout_s);

}  // namespace velko::dataset_replay
