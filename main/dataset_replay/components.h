// The outside components of the report run, installed by the host (or by a test) and bound
// when a run needs them.
#pragma once

#include <memory>

namespace velko::dataset_replay {

class DatasetModule;
class SimModule;
class SimConnection;
class CoreLibrary;

struct Components {
  std::shared_ptr<DatasetModule> dataset;
  std::shared_ptr<SimModule> sim_module;
  std::shared_ptr<SimConnection> sim;
  std::shared_ptr<CoreLibrary> core;
};

void install_components(Components components);
// The components installed so far.
Components installed_components();

// Each installed component; throws std::runtime_error naming the component when it is not
// installed.
DatasetModule& dataset_module();
SimModule& sim_module();
SimConnection& sim_connection();
CoreLibrary& core_library();

}  // namespace velko::dataset_replay
