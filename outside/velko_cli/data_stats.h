// `velko data stats REF`: has the compute node count a dataset (its episodes, rows and the
// figures of each column), after which the node knows the dataset's episode count, and shows
// the figures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/value.hpp>

#include "common/console.h"

namespace CLI {
class App;
}

namespace velko::core {
struct Settings;
}

namespace velko::host {

// Seconds that the node's counting may take: the connection and each wait for data; three
// times that for the whole request.
inline constexpr double kStatsTimeoutS = 120;

// A dataset's figures as the compute node counted them.
struct DatasetFigures {
  // One column's figures: its recorded values (count), its rows without one (nulls), and the
  // least, greatest and mean recorded value (none without any).
  struct Column {
    std::string id;
    std::string name;
    std::string role;
    std::int64_t count = 0;
    std::int64_t nulls = 0;
    std::optional<double> min;
    std::optional<double> max;
    std::optional<double> mean;
  };

  std::string id;
  std::string name;
  std::int64_t episodes = 0;
  std::int64_t rows = 0;
  std::vector<Column> columns;
};

// Reads the node's "dataset-stats" answer. Throws BadAnswer naming what is wrong with it.
DatasetFigures figures_from_json(const boost::json::value& answer);

// The figures as a titled table, one row per column.
Table figures_table(const DatasetFigures& figures);

// Adds the `data` command group with `stats` to the host's command line. Its commands run with
// `settings` and print through `console`, both of which must outlive the parse.
void add_data_commands(CLI::App& app, const core::Settings& settings, Console& console);

}  // namespace velko::host
