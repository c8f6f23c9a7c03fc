// velko-dev-node: serves the datasets of a data directory as the local compute node until
// SIGINT or SIGTERM.

#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "outside/dev_services/dev_node.h"
#include "outside/dev_services/http_service.h"

int main(int argc, char** argv) {
  CLI::App app(
      "A local compute node for velko: serves the recorded datasets of a data directory (one "
      "folder per dataset, each with a dataset.json and a CSV file of rows; see "
      "docs/compute-node.md), hands out their recorded actions and analyses a sim's "
      "predictions against their sensor values, which never leave the node. Prints "
      "\"velko-dev-node listening on http://HOST:PORT\" once it serves; SIGINT or SIGTERM stop "
      "it.",
      "velko-dev-node");
  std::string host = "127.0.0.1";
  int port = 8710;
  std::string data;
  std::string token;
  bool verbose = false;
  app.add_option("--host", host, "Address to listen on")->capture_default_str();
  app.add_option("--port", port, "Port to listen on; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--data", data, "Data directory: a folder per dataset, or a single dataset folder")
      ->required()
      ->check(CLI::ExistingDirectory);
  app.add_option("--token", token,
                 "Require 'Authorization: Bearer TOKEN' on every request (VELKO_NODE_TOKEN "
                 "on the client side)")
      ->check([](const std::string& text) {
        return text.empty() ? std::string("the token must not be empty") : std::string();
      });
  app.add_flag("--verbose", verbose, "Log each request (method, path, status) to stderr");
  CLI11_PARSE(app, argc, argv);

  velko::dev::NodeOptions options;
  if (!token.empty()) options.token = token;
  if (verbose) {
    options.log = velko::dev::stderr_log();
  }

  sigset_t signals = velko::dev::block_stop_signals();
  try {
    velko::dev::DatasetCatalog catalog = velko::dev::DatasetCatalog::load(data);
    if (verbose || catalog.datasets().empty()) {
      std::cerr << "velko-dev-node: " << catalog.datasets().size() << " dataset(s) in " << data
                << std::endl;
    }
    if (verbose) {
      for (const auto& dataset : catalog.datasets()) {
        std::cerr << "  " << dataset.name << " (" << dataset.id << "): " << dataset.episodes.size()
                  << " episodes, " << dataset.rows << " rows" << std::endl;
      }
    }
    velko::dev::DevNode node(std::move(catalog), std::move(options));
    int bound = node.start(host, port);
    std::cout << "velko-dev-node listening on http://" << host << ":" << bound << std::endl;
    velko::dev::wait_for_stop_signal(signals);
    node.stop();
  } catch (const std::exception& error) {
    std::cerr << "velko-dev-node: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
