// The compute node's "dataset-stats" request: has the node count a dataset (its episodes, rows
// and the figures of each column), after which the node knows the dataset's episode count.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/value.hpp>

#include "common/async.h"
#include "main/dataset_replay/dataset_module.h"

namespace velko::compute_node {

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

// Has the compute node that `datasets` finds datasets on count `dataset` (as its lookup found
// it) and reads the figures. Fails as node_post does (a node that cannot be reached, refuses or
// does not answer in time), and with BadAnswer naming what is wrong with the answer.
awaitable<DatasetFigures> count_dataset(dataset_replay::DatasetModule& datasets,
                                        const dataset_replay::LocalDataset& dataset);

}  // namespace velko::compute_node
