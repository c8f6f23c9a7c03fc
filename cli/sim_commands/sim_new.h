// `velko sim new [--python|--cpp] NAME [--dir DIR]`: makes a new sim folder that
// `velko sim validate` passes as it is.
#pragma once

namespace CLI {
class App;
}

namespace velko {
class Console;
}

namespace velko::sim_commands {

// Adds `new` to the `sim` command group; it prints through `console`, which must outlive the
// parse.
void add_new_command(CLI::App& sim, Console& console);

}  // namespace velko::sim_commands
