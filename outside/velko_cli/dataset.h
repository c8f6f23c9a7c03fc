// The host tool's dataset modules: finding a dataset on the local compute node, the node's
// address and its authentication headers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "main/dataset_replay/dataset_module.h"

namespace velko::host {

// The compute node's base URL: VELKO_COMPUTE_URL, else http://127.0.0.1:8710 (as given).
std::string compute_url();

// VELKO_NODE_TOKEN, or none when it is unset or empty. Throws std::invalid_argument, naming the
// variable but never the token, when it holds a control character, which would end the
// header line that carries it.
std::optional<std::string> node_token();

// Authorization: Bearer VELKO_NODE_TOKEN, when that is set. Throws as node_token() does.
http::Headers node_auth_headers();

// What keeps `ref` from being the id or name of a dataset (it is empty, is not UTF-8 text or
// holds a control character), said so that it follows the ref's name; none when it can be one.
std::optional<std::string> dataset_ref_problem(std::string_view ref);

class ComputeNodeDatasets final : public dataset_replay::DatasetModule {
 public:
  awaitable<dataset_replay::LocalDataset> resolve_local_dataset(dataset_replay::ReportPlatform& api,
                                                                std::string org_id,
                                                                std::string dataset_ref) override;
  std::string compute_url() override { return host::compute_url(); }
  http::Headers auth_headers() override { return node_auth_headers(); }
};

}  // namespace velko::host
