#include "main/dataset_replay/run_context.h"

#include <spdlog/logger.h>

#include "common/console.h"
#include "main/dataset_replay/core_library.h"

namespace velko::dataset_replay {

Console& console() {
  static Console instance;
  return instance;
}

spdlog::logger& logger() {
  static std::shared_ptr<spdlog::logger> instance =
      logger_util::get_logger("velko.dataset_replay");
  return *instance;
}

Timings& timings() {
  static Timings instance;
  return instance;
}

}  // namespace velko::dataset_replay
