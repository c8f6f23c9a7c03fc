// The host tool's dataset modules: finding a dataset on the local compute node, the node's
// address and its authentication headers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "main/dataset_replay/dataset_module.h"

namespace velko::compute_node {

// Refuses, with std::invalid_argument naming the variable but never the token, a compute node
// token (VELKO_NODE_TOKEN) that holds a control character, which would end the header line
// that carries it.
void check_node_token(const std::optional<std::string>& token);

// Authorization: Bearer TOKEN, when there is a token. Throws as check_node_token does.
http::Headers node_auth_headers(const std::optional<std::string>& token);

// What keeps `ref` from being the id or name of a dataset (it is empty, is not UTF-8 text or
// holds a control character), said so that it follows the ref's name; none when it can be one.
std::optional<std::string> dataset_ref_problem(std::string_view ref);

// The datasets of the compute node at `compute_url` (VELKO_COMPUTE_URL, used as given), asked
// with the node's token (VELKO_NODE_TOKEN) when there is one.
class ComputeNodeDatasets final : public dataset_replay::DatasetModule {
 public:
  ComputeNodeDatasets(std::string compute_url, std::optional<std::string> node_token);
  awaitable<dataset_replay::LocalDataset> resolve_local_dataset(std::string dataset_ref) override;
  std::string compute_url() override { return compute_url_; }
  http::Headers auth_headers() override { return node_auth_headers(node_token_); }

 private:
  std::string compute_url_;
  std::optional<std::string> node_token_;
};

}  // namespace velko::compute_node
