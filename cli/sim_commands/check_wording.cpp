#include "cli/sim_commands/check_wording.h"

#include <fmt/format.h>

#include "common/json_text.h"

namespace velko::sim_commands {

namespace {

// Longest value that a message shows.
constexpr std::size_t kShownValueBytes = 200;

}  // namespace

std::string seconds_text(double seconds) { return fmt::format("{:g}", seconds); }

double seconds_since(std::chrono::steady_clock::time_point started) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

std::string plural(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string shown(const boost::json::value& value) {
  std::string text = json_text::to_json(value);
  if (text.size() > kShownValueBytes) text = text.substr(0, kShownValueBytes) + "...";
  return text;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (!out.empty()) out += "; ";
    out += part;
  }
  return out;
}

}  // namespace velko::sim_commands
