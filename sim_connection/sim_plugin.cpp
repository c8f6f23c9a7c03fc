#include "sim_connection/sim_plugin.h"

#include "sim_connection/sim_connection_impl.h"
#include "sim_connection/sim_serving.h"

extern "C" __attribute__((visibility("default"))) void velko_sim_plugin_make(
    int steps_ahead, std::shared_ptr<velko::dataset_replay::SimConnection>* connection,
    std::shared_ptr<velko::dataset_replay::SimModule>* sim_module) {
  auto sims = std::make_shared<velko::sim_connection::SimConnectionImpl>(steps_ahead);
  // The serving check notices at once a sim of this connection that ended before serving.
  *sim_module = std::make_shared<velko::sim_connection::SimModuleImpl>(sims->started());
  *connection = sims;
}
