// Helpers of the sim connection's tests: sim directories, process groups, waiting briefly.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "common/async.h"

namespace velko::testing {

// Writes a velko-sim.json into `directory` (made if missing) that runs `command` (absolute
// paths); returns the directory.
std::string sim_dir(const std::string& directory, const std::vector<std::string>& command);

// Writes a velko-sim.json into `directory` that runs velko-test-sim with `args` (such as
// {"--fault", "crash-at-step", "2"}); returns the directory.
std::string test_sim_dir(const std::string& directory, const std::vector<std::string>& args = {});

// Writes a velko-sim.json into `directory` that runs the water tank sim; returns the directory.
std::string water_tank_dir(const std::string& directory);

// True while a process of the group runs (zombies, which nobody may reap here, do not count).
bool group_alive(pid_t pgid);
// True while the process runs (a zombie does not count).
bool process_alive(pid_t pid);

// Polls `condition` for up to `timeout_s` seconds without blocking the event loop; false when
// it never held.
awaitable<bool> eventually(std::function<bool()> condition, double timeout_s = 10);
// The same, blocking, for use outside an event loop.
bool eventually_blocking(const std::function<bool()>& condition, double timeout_s = 10);

// Runs an asynchronous body to its end on a fresh event loop.
void run_async(std::function<awaitable<void>()> body);

}  // namespace velko::testing
