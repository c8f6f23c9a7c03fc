// The host tool's dataset modules: finding a dataset on the local compute node, the node's
// address and its authentication headers.
#pragma once

#include <string>

#include "main/dataset_replay/dataset_module.h"

namespace velko::host {

// The compute node's base URL: VELKO_COMPUTE_URL, else http://127.0.0.1:8710 (as given).
std::string compute_url();

// Authorization: Bearer VELKO_NODE_TOKEN, when that is set.
http::Headers node_auth_headers();

class ComputeNodeDatasets final : public dataset_replay::DatasetModule {
 public:
  awaitable<dataset_replay::LocalDataset> resolve_local_dataset(dataset_replay::ReportPlatform& api,
                                                                std::string org_id,
                                                                std::string dataset_ref) override;
  std::string compute_url() override { return host::compute_url(); }
  http::Headers auth_headers() override { return node_auth_headers(); }
};

}  // namespace velko::host
