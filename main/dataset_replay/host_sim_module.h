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
  // How the end of the sim that served at `address` reads in a message, for a sim that ended
  // with `returncode` ("exited with status 1", "was ended by signal 6 (Aborted)"). Completes
  // once its output has been read to its end (a moment at most), so that its last lines are
  // there to show.
  virtual awaitable<std::string> describe_end(std::string address, int returncode) = 0;
};

}  // namespace velko::dataset_replay
