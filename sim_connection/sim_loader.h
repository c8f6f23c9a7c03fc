// Loading the sim connection module, which brings gRPC, only when a command needs a sim.
#pragma once

#include <memory>

namespace velko::dataset_replay {
class SimConnection;
class SimModule;
}  // namespace velko::dataset_replay

namespace velko::sim_connection {

// The sim connection and the host's sim module, made by the loaded module.
struct SimComponents {
  std::shared_ptr<dataset_replay::SimConnection> sims;
  std::shared_ptr<dataset_replay::SimModule> host_sim;
};

// Loads libvelko_sim_plugin.so from beside the executable or from the installed tree's
// library folder (find_program_file; it stays loaded for the life of the process) and makes
// its components, the connection sending up to `steps_ahead` steps ahead (the settings'
// VELKO_STEPS_AHEAD). Throws a clear error when it cannot.
SimComponents load_sim_connection(int steps_ahead);

}  // namespace velko::sim_connection
