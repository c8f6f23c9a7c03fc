// `velko data stats REF`: has the compute node count a dataset (its episodes, rows and the
// figures of each column), after which the node knows the dataset's episode count, and shows
// the figures.
#pragma once

#include "common/console.h"
#include "compute_node/dataset_stats.h"

namespace CLI {
class App;
}

namespace velko::host {
struct Settings;
}

namespace velko::data_commands {

// The figures as a titled table, one row per column.
Table figures_table(const compute_node::DatasetFigures& figures);

// Adds the `data` command group with `stats` to the host's command line. Its commands run with
// `settings` and print through `console`, both of which must outlive the parse.
void add_data_commands(CLI::App& app, const host::Settings& settings, Console& console);

}  // namespace velko::data_commands
