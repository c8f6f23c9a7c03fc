// The datasets that the compute node serves: every dataset folder of its data directory.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dev/node_dataset.h"

namespace velko::dev {

// The node's datasets, looked up by id or by name. Immutable once loaded.
class DatasetCatalog {
 public:
  DatasetCatalog() = default;
  explicit DatasetCatalog(std::vector<NodeDataset> datasets);

  // Loads `dir`: the dataset of `dir` itself when it holds a descriptor, else one dataset
  // per folder under it (folders whose names begin with '.' are skipped; any other folder
  // must hold a descriptor). Throws DatasetError, also when two datasets share an id or a
  // name, or when one's name is another's id.
  static DatasetCatalog load(const std::string& dir);

  // The dataset with this id, or nullptr.
  const NodeDataset* by_id(std::string_view id) const;
  // The dataset with this id, else the one with this name, or nullptr.
  const NodeDataset* find(std::string_view ref) const;

  const std::vector<NodeDataset>& datasets() const { return datasets_; }

 private:
  std::vector<NodeDataset> datasets_;
};

}  // namespace velko::dev
