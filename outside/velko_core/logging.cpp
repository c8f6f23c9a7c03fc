#include "outside/velko_core/logging.h"

#include <cstdlib>
#include <mutex>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace velko::core::logging {

std::shared_ptr<spdlog::logger> get_logger(const std::string& name) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  if (auto existing = spdlog::get(name)) return existing;
  auto logger = spdlog::stderr_logger_mt(name);
  const char* level = std::getenv("VELKO_LOG_LEVEL");
  logger->set_level(level && *level ? spdlog::level::from_str(level) : spdlog::level::warn);
  logger->set_pattern("%^%l%$ %n: %v");
  return logger;
}

}  // namespace velko::core::logging

#include "main/dataset_replay/core_library.h"

namespace velko::dataset_replay::logger_util {

std::shared_ptr<spdlog::logger> get_logger(const std::string& name) {
  return core::logging::get_logger(name);
}

}  // namespace velko::dataset_replay::logger_util
