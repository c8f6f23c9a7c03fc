// A local stand-in for the compute node: an HTTP server that holds recorded datasets, hands
// out their recorded actions and analyses a sim's predictions against their sensor values,
// for the demo and for tests that run it in-process.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dev/http_service.h"
#include "dev/node_catalog.h"

namespace velko::dev {

// How the stand-in compute node behaves.
struct NodeOptions {
  // When set, every request must carry `Authorization: Bearer <token>`.
  std::optional<std::string> token;
  // Largest body of an "analysis-actions" request.
  std::size_t max_actions_body_bytes = std::size_t{1} << 20;
  // Largest body of a "sim-analyze-rollouts" request.
  std::size_t max_rollouts_body_bytes = std::size_t{1} << 30;
  // Receives one line per request (method, path, status) from the server's threads; nothing
  // is logged when empty. Headers are never logged.
  std::function<void(const std::string&)> log;
};

// The stand-in compute node. Serves its datasets on its own threads between start() and
// stop().
class DevNode : public Service {
 public:
  DevNode(DatasetCatalog catalog, NodeOptions options);
  ~DevNode() override;
  DevNode(const DevNode&) = delete;
  DevNode& operator=(const DevNode&) = delete;

  // Starts serving on host:port (port 0 picks a free one) and returns the bound port once
  // requests are answered. Throws std::runtime_error when the address cannot be bound.
  int start(const std::string& host, int port) override;
  // Stops serving and waits for the server's threads; harmless when not serving.
  void stop() override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velko::dev
