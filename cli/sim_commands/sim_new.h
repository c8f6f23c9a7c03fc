// `velko sim new [--python|--cpp] NAME [--dir DIR]`: makes a new sim folder that
// `velko sim validate` passes as it is.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace velko {
class Console;
}

namespace velko::sim_commands {

struct ScaffoldedSim;
struct ScaffoldSources;
enum class SimLanguage;

// Adds `new` to the `sim` command group; it prints through `console`, which must outlive the
// parse.
void add_new_command(CLI::App& sim, Console& console);

// What `velko sim new` prints once the folder is made: the folder, its files and the next
// commands (building a C++ sim, validating, publishing), with `sources` for the build's
// folder.
std::string next_steps_text(SimLanguage language, const ScaffoldedSim& made,
                            const ScaffoldSources& sources);

}  // namespace velko::sim_commands
