// `velko sim list [--org ORG]`: the organisation's sims on the platform, with their latest
// build, its state and the use cases that use them.
#pragma once

#include <vector>

#include "common/console.h"
#include "platform/client.h"

namespace CLI {
class App;
}

namespace velko::host {
struct Settings;
}

namespace velko::sim_commands {

// The table of sims: name, id, latest build, its status, whether its mappings are saved, and
// the use cases; texts from the platform escaped so that they print as they stand.
Table sims_table(const std::vector<platform::SimSummary>& sims);

// Adds `list` to the host's `sim` command group. It runs with `settings` and prints through
// `console`, both of which must outlive the parse.
void add_list_command(CLI::App& sim, const host::Settings& settings, Console& console);

}  // namespace velko::sim_commands
