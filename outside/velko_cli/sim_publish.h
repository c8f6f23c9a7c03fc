// `velko sim publish PATH --dataset REF`: publishes a sim build and makes its simulation
// report against a dataset on the local compute node.
#pragma once

namespace CLI {
class App;
}

namespace velko::host {

// Adds the `sim` command group with `publish` to the host's command line.
void add_sim_commands(CLI::App& app);

}  // namespace velko::host
