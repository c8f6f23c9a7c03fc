// The sim connection that velko installs: free ports, sim processes started here, and gRPC
// clients to them.
#pragma once

#include <memory>
#include <string>

#include "main/dataset_replay/sim_connection.h"

namespace velko::core {

// The real sim connection (sim_server and sim_client together).
class SimConnectionImpl : public dataset_replay::SimConnection {
 public:
  int get_free_port() override;
  bool port_in_use(int port) override;
  // `settings` carries nothing yet; the sim is configured through the client's env_init.
  awaitable<std::unique_ptr<dataset_replay::SimProcess>> make_in_process(
      std::string path, std::string host, int port, boost::json::object settings,
      dataset_replay::OutputCallback on_output) override;
  std::unique_ptr<dataset_replay::SimClient> make(dataset_replay::ClientOptions options) override;
};

}  // namespace velko::core
