// What the report run needs around a started sim: whether it serves, the end of its output and
// how its end reads in a message.
#pragma once

#include <string>

#include "common/async.h"

namespace velko::dataset_replay {

// The serving check of started sims and what is shown of their end.
class SimModule {
 public:
  virtual ~SimModule() = default;
  // Completes once the sim at `address` ("localhost:PORT") serves. Fails with TimeoutError
  // when it does not within `timeout_s` seconds, and at once with an ordinary error when the
  // sim started on that port has ended.
  virtual awaitable<void> check_serving(std::string address, double timeout_s) = 0;
  // The end of a sim's captured output `text` (its last lines, bounded in size) that a message
  // shows; empty when it holds nothing but blank lines.
  virtual std::string output_tail(const std::string& text) = 0;
  // How the end of the sim that served at `address` reads in a message, for a sim that ended
  // with `returncode` ("exited with status 1", "was ended by signal 6 (Aborted)"). Completes
  // once its output has been read to its end (a moment at most), so that its last lines are
  // there to show.
  virtual awaitable<std::string> describe_end(std::string address, int returncode) = 0;
};

}  // namespace velko::dataset_replay
