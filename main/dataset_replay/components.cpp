#include "main/dataset_replay/components.h"

#include <stdexcept>
#include <string>

namespace velko::dataset_replay {

namespace {

Components& installed() {
  static Components instance;
  return instance;
}

template <class T>
T& bound(const std::shared_ptr<T>& component, const char* name) {
  if (!component) {
    throw std::runtime_error(std::string("The ") + name + " is not available in this build");
  }
  return *component;
}

}  // namespace

void install_components(Components components) { installed() = std::move(components); }

Components installed_components() { return installed(); }

DatasetModule& dataset_module() { return bound(installed().dataset, "dataset module"); }
SimModule& sim_module() { return bound(installed().sim_module, "host's sim module"); }
SimConnection& sim_connection() { return bound(installed().sim, "sim connection"); }
CoreLibrary& core_library() { return bound(installed().core, "core library"); }

}  // namespace velko::dataset_replay
