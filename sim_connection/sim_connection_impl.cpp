#include "sim_connection/sim_connection_impl.h"

#include "sim_connection/polled_queue.h"
#include "sim_connection/sim_client.h"

namespace velko::sim_connection {

int SimConnectionImpl::get_free_port() { return free_port(); }

bool SimConnectionImpl::port_in_use(int port) { return sim_connection::port_in_use(port); }

awaitable<std::unique_ptr<dataset_replay::SimProcess>> SimConnectionImpl::make_in_process(
    std::string path, int port, dataset_replay::OutputCallback on_output) {
  std::unique_ptr<LocalSimProcess> process =
      co_await start_sim(std::move(path), "localhost", port, std::move(on_output));
  started_->add(port, *process);
  co_return process;
}

std::unique_ptr<dataset_replay::SimClient> SimConnectionImpl::make(
    dataset_replay::ClientOptions options) {
  if (!queue_) queue_ = std::make_shared<PolledQueue>();
  return std::make_unique<GrpcSimClient>(std::move(options), queue_);
}

}  // namespace velko::sim_connection
