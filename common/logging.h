// velko's logging: spdlog loggers writing to standard error.
#pragma once

#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace velko::logging {

// A logger named `name` that writes lines at `level` and above (trace, debug, info, warn,
// error; an empty or unknown level is warn) to standard error. Each call makes a new logger.
std::shared_ptr<spdlog::logger> make_logger(const std::string& name, const std::string& level);

}  // namespace velko::logging
