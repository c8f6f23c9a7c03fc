// The sim connection that velko uses: free ports, sim processes started here, and gRPC
// clients to them.
#pragma once

#include <memory>
#include <string>

#include "main/dataset_replay/sim_connection.h"
#include "sim_connection/sim_process.h"
#include "sim_connection/steps_ahead.h"

namespace velko::sim_connection {

class PolledQueue;

// The real sim connection (sim processes and the sim client together).
class SimConnectionImpl : public dataset_replay::SimConnection {
 public:
  // `steps_ahead`: most steps of an episode sent ahead of their answers (VELKO_STEPS_AHEAD).
  explicit SimConnectionImpl(int steps_ahead = DEFAULT_STEPS_AHEAD) : steps_ahead_(steps_ahead) {}

  // The sims this connection started, for the serving check.
  std::shared_ptr<StartedSims> started() const { return started_; }

  int get_free_port() override;
  bool port_in_use(int port) override;
  awaitable<std::unique_ptr<dataset_replay::SimProcess>> make_in_process(
      std::string path, int port, dataset_replay::OutputCallback on_output) override;
  std::unique_ptr<dataset_replay::SimClient> make(dataset_replay::ClientOptions options) override;
  int steps_ahead() const override { return steps_ahead_; }

 private:
  int steps_ahead_;
  std::shared_ptr<StartedSims> started_ = std::make_shared<StartedSims>();
  // The completion queue of every client made here, made with the first: the clients of a
  // run over several sims are served by one poll.
  std::shared_ptr<PolledQueue> queue_;
};

}  // namespace velko::sim_connection
