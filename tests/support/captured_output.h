// What a test hands a report run or a command besides its components: a console whose output
// goes to strings and a debug logger whose lines go to a string.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/logger.h>

#include "common/console.h"

namespace velko::testing {

class CapturedOutput {
 public:
  CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  // Prints into `printed`, and tells `statuses` each status line's text ("" when one closes).
  Console console;
  std::string printed;
  std::vector<std::string> statuses;

  // Writes debug lines, and above, into log(), each as "LEVEL TEXT".
  spdlog::logger& logger() { return *logger_; }
  std::string log() const { return log_->str(); }

 private:
  std::shared_ptr<std::ostringstream> log_ = std::make_shared<std::ostringstream>();
  std::shared_ptr<spdlog::logger> logger_;
};

}  // namespace velko::testing
