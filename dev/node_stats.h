// The compute node's "dataset-stats" request: counts a dataset's episodes, rows and the
// figures of each column, and from then on the node tells the dataset's episode count.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include <boost/json/value.hpp>

#include "dev/node_catalog.h"

namespace velko::dev {

// The datasets that were counted while the node runs; shared by the server's threads.
class CountedDatasets {
 public:
  void add(const std::string& id);
  bool contains(const std::string& id) const;

 private:
  mutable std::mutex mutex_;
  std::set<std::string> ids_;
};

// True when the node tells the dataset's episode count: its descriptor does not hide it, or it
// was counted since the node started.
bool episode_count_known(const NodeDataset& dataset, const CountedDatasets& counted);

// Answers POST /ml/dataset-stats {"dataset_uuid"}: {"dataset_id", "name", "episodes", "rows",
// "columns": [{"id", "name", "role", "count", "nulls", "min", "max", "mean"}]}, where count is
// the recorded values of a column, nulls its rows without one, and min, max and mean are null
// for a column without any. Notes the dataset in `counted`. Throws NodeRefusal: 422 for a
// malformed body, 404 for a dataset the node does not hold.
boost::json::value dataset_stats(const DatasetCatalog& catalog, std::string_view body,
                                 CountedDatasets& counted);

}  // namespace velko::dev
