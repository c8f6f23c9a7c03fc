// The host tool's sim module as the report run uses it.
#pragma once

#include <string>

#include "common/async.h"

namespace velko::dataset_replay {

class SimModule {
 public:
  virtual ~SimModule() = default;
  // `check_serving(address, timeout_s)`: completes once the sim at `address` serves; fails
  // otherwise.
  virtual awaitable<void> check_serving(std::string address, double timeout_s) = 0;
  // `_tail(text)`: the end of a sim's captured output.
  virtual std::string _tail(const std::string& text) = 0;
};

}  // namespace velko::dataset_replay
