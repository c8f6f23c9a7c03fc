#include "common/logging.h"

#include <spdlog/sinks/stdout_sinks.h>

namespace velko::logging {

std::shared_ptr<spdlog::logger> make_logger(const std::string& name, const std::string& level) {
  auto logger =
      std::make_shared<spdlog::logger>(name, std::make_shared<spdlog::sinks::stderr_sink_mt>());
  spdlog::level::level_enum parsed = spdlog::level::from_str(level);
  // from_str gives "off" for a name it does not know; only "off" itself means off.
  if (level.empty() || (parsed == spdlog::level::off && level != "off")) {
    parsed = spdlog::level::warn;
  }
  logger->set_level(parsed);
  logger->set_pattern("%^%l%$ %n: %v");
  return logger;
}

}  // namespace velko::logging
