#include "dev/node_catalog.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/literal.h"

namespace velko::dev {

namespace fs = std::filesystem;

DatasetCatalog::DatasetCatalog(std::vector<NodeDataset> datasets) : datasets_(std::move(datasets)) {
  for (std::size_t i = 0; i < datasets_.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      const NodeDataset& a = datasets_[j];
      const NodeDataset& b = datasets_[i];
      if (a.id == b.id || a.name == b.id || a.id == b.name) {
        throw DatasetError(b.csv_path + ": the id " + quoted(b.id) + " is taken by " + a.csv_path);
      }
      if (a.name == b.name) {
        throw DatasetError(b.csv_path + ": the name " + quoted(b.name) + " is taken by " +
                           a.csv_path);
      }
    }
  }
}

DatasetCatalog DatasetCatalog::load(const std::string& dir) {
  std::error_code error;
  if (!fs::is_directory(dir, error)) {
    throw DatasetError(dir + ": not a directory (the data directory holds dataset folders)");
  }
  if (fs::exists(fs::path(dir) / kDatasetDescriptor, error)) {
    std::vector<NodeDataset> one;
    one.push_back(load_dataset(dir));
    return DatasetCatalog(std::move(one));
  }
  std::vector<fs::path> folders;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, error)) {
    if (!entry.is_directory() || entry.path().filename().string().starts_with('.')) continue;
    folders.push_back(entry.path());
  }
  if (error) throw DatasetError(dir + ": cannot list the directory: " + error.message());
  std::sort(folders.begin(), folders.end());
  std::vector<NodeDataset> datasets;
  for (const fs::path& folder : folders) {
    if (!fs::exists(folder / kDatasetDescriptor, error)) {
      throw DatasetError(folder.string() + ": this folder has no " + kDatasetDescriptor +
                         "; every folder of the data directory is a dataset");
    }
    datasets.push_back(load_dataset(folder.string()));
  }
  return DatasetCatalog(std::move(datasets));
}

const NodeDataset* DatasetCatalog::by_id(std::string_view id) const {
  for (const NodeDataset& dataset : datasets_) {
    if (dataset.id == id) return &dataset;
  }
  return nullptr;
}

const NodeDataset* DatasetCatalog::find(std::string_view ref) const {
  if (const NodeDataset* dataset = by_id(ref)) return dataset;
  for (const NodeDataset& dataset : datasets_) {
    if (dataset.name == ref) return &dataset;
  }
  return nullptr;
}

}  // namespace velko::dev
