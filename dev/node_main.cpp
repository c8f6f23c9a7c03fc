// velko-dev-node: serves the datasets of a data directory as the local compute node until
// SIGINT or SIGTERM.

#include <iostream>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "dev/dev_node.h"
#include "dev/http_service.h"

int main(int argc, char** argv) {
  CLI::App app(
      "A local compute node for velko: serves the recorded datasets of a data directory (one "
      "folder per dataset, each with a dataset.json and a CSV file of rows; see "
      "docs/compute-node.md), hands out their recorded actions and analyses a sim's "
      "predictions against their sensor values, which never leave the node. Prints "
      "\"velko-dev-node listening on http://HOST:PORT\" once it serves; SIGINT or SIGTERM stop "
      "it.",
      "velko-dev-node");
  velko::dev::ServiceCommandLine line;
  line.port = 8710;
  std::string data;
  line.add_address_options(app);
  app.add_option("--data", data, "Data directory: a folder per dataset, or a single dataset folder")
      ->required()
      ->check(CLI::ExistingDirectory);
  line.add_access_options(app,
                          "Require 'Authorization: Bearer TOKEN' on every request "
                          "(VELKO_NODE_TOKEN on the client side)");
  CLI11_PARSE(app, argc, argv);

  return velko::dev::serve_until_stopped("velko-dev-node", line, [&] {
    velko::dev::DatasetCatalog catalog = velko::dev::DatasetCatalog::load(data);
    if (line.verbose || catalog.datasets().empty()) {
      std::cerr << "velko-dev-node: " << catalog.datasets().size() << " dataset(s) in " << data
                << std::endl;
    }
    if (line.verbose) {
      for (const auto& dataset : catalog.datasets()) {
        std::cerr << "  " << dataset.name << " (" << dataset.id << "): " << dataset.episodes.size()
                  << " episodes, " << dataset.rows << " rows" << std::endl;
      }
    }
    velko::dev::NodeOptions options;
    options.token = line.given_token();
    options.log = line.log();
    return std::make_unique<velko::dev::DevNode>(std::move(catalog), std::move(options));
  });
}
