// `velko sim publish PATH --dataset REF`: publishes a sim build and makes its simulation
// report against a dataset on the local compute node.
#pragma once

namespace CLI {
class App;
}

namespace velko {
class Console;
}

namespace velko::host {
struct Settings;
}

namespace velko::sim_commands {

// Adds the `sim` command group (new, validate, publish, list) to the host's command line. Its
// commands run with `settings` and print through `console`, both of which must outlive the
// parse.
void add_sim_commands(CLI::App& app, const host::Settings& settings, Console& console);

}  // namespace velko::sim_commands
