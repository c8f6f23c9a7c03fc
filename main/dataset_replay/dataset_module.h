// The host tool's dataset modules as the report run uses them: resolving the local dataset,
// the compute node's address and the node's authentication headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/async.h"
#include "common/http.h"

namespace velko::dataset_replay {

class ReportPlatform;

// The dataset held by the local compute node.
struct LocalDataset {
  std::string id;
  std::string name;
  // The dataset's "cycles": absent when null; its count is the number of episodes, which may
  // itself be null.
  struct Cycles {
    std::optional<std::int64_t> count;
  };
  std::optional<Cycles> cycles;
};

class DatasetModule {
 public:
  virtual ~DatasetModule() = default;
  // `compute_guard.resolve_local_dataset(api, org_id, ref)`.
  virtual awaitable<LocalDataset> resolve_local_dataset(ReportPlatform& api, std::string org_id,
                                                        std::string dataset_ref) = 0;
  // `compute_guard.COMPUTE_URL`: the node's base URL, used as given.
  virtual std::string compute_url() = 0;
  // `node_stage._auth_headers()`: the headers of one node request.
  virtual http::Headers auth_headers() = 0;
};

}  // namespace velko::dataset_replay
