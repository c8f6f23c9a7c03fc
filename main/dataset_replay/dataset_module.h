// The datasets of the local compute node as the report run reaches them: finding one by its
// reference, the node's address and the headers that every request to the node carries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/async.h"
#include "common/http.h"

namespace velko::dataset_replay {

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

// The compute node's datasets and how to reach the node.
class DatasetModule {
 public:
  virtual ~DatasetModule() = default;
  // The dataset whose id or name is `dataset_ref`. Fails with std::invalid_argument for a
  // reference that cannot name one (empty, not UTF-8, a control character), with an ordinary
  // error saying what to do when the node has no such dataset, refuses the request or cannot
  // be reached, and with BadAnswer when its answer is malformed.
  virtual awaitable<LocalDataset> resolve_local_dataset(std::string dataset_ref) = 0;
  // The node's base URL, used as given.
  virtual std::string compute_url() = 0;
  // The headers of one request to the node (its token, when there is one); fails with
  // std::invalid_argument for a token that cannot be sent.
  virtual http::Headers auth_headers() = 0;
};

}  // namespace velko::dataset_replay
