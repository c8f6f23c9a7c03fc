#include "tests/support/captured_output.h"

#include <spdlog/sinks/ostream_sink.h>

namespace velko::testing {

CapturedOutput::CapturedOutput() {
  console.set_sink([this](std::string_view text) { printed += text; });
  console.set_status_observer([this](const std::string& text) { statuses.push_back(text); });
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(*log_);
  sink->set_pattern("%l %v");
  logger_ = std::make_shared<spdlog::logger>("velko.test", std::move(sink));
  logger_->set_level(spdlog::level::debug);
}

}  // namespace velko::testing
