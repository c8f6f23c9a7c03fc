// Loading the sim connection module, which brings gRPC, only when a command needs a sim.
#pragma once

namespace velko::host {

// Loads libvelko_sim_plugin.so from beside the executable (once) and installs its sim
// connection and sim module for the report run. Throws a clear error when it cannot.
void load_sim_connection();

}  // namespace velko::host
