// The core library's logging: named spdlog loggers writing to standard error.
#pragma once

#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace velko::core::logging {

// The logger of a module. Its level comes from VELKO_LOG_LEVEL (trace, debug, info, warn,
// error; default warn), so debug lines are hidden unless asked for.
std::shared_ptr<spdlog::logger> get_logger(const std::string& name);

}  // namespace velko::core::logging
