// The entry point of the sim connection module that the host loads at run time.
#pragma once

#include <memory>

namespace velko::dataset_replay {
class SimConnection;
class SimModule;
}  // namespace velko::dataset_replay

// The name of the module's entry point.
#define VELKO_SIM_PLUGIN_ENTRY "velko_sim_plugin_make"

// Makes the sim connection, which sends up to `steps_ahead` steps ahead, and the host's sim
// module.
extern "C" void velko_sim_plugin_make(
    int steps_ahead, std::shared_ptr<velko::dataset_replay::SimConnection>* connection,
    std::shared_ptr<velko::dataset_replay::SimModule>* sim_module);
