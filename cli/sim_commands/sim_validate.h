// `velko sim validate [PATH]`: what a sim author runs before publishing (the checks are in
// validator.h, the report in validation.h).
#pragma once

#include "cli/sim_commands/validator.h"

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

// Adds `validate` to the host's `sim` command group. It runs with `settings` and prints
// through `console`, both of which must outlive the parse.
void add_validate_command(CLI::App& sim, const host::Settings& settings, Console& console);

}  // namespace velko::sim_commands
