#include "outside/velko_core/settings.h"

#include <charconv>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "common/literal.h"

namespace velko::core {

namespace {

// One environment variable as --help shows it.
struct Variable {
  const char* name;
  const char* meaning;
};

constexpr Variable kVariables[] = {
    {"VELKO_API_URL", "the platform (default http://127.0.0.1:8700)"},
    {"VELKO_API_TOKEN", "token sent to the platform"},
    {"VELKO_COMPUTE_URL", "the local compute node (default http://127.0.0.1:8710)"},
    {"VELKO_NODE_TOKEN", "token sent to the compute node"},
    {"VELKO_PROJECT", "project (id or name) used without asking"},
    {"VELKO_ORG", "organisation of `sim publish` and `sim list` without --org"},
    {"VELKO_LOG_LEVEL", "debug shows the debug log on standard error (default warn)"},
    {"VELKO_STEPS_AHEAD",
     "steps sent ahead to a sim, 0 to 1024 (default 64; 0 or 1: one at a time)"},
    {"NO_COLOR", "set: no colours"},
};

// VELKO_STEPS_AHEAD's value: a whole number from 0 to STEPS_AHEAD_MAX, written plainly.
int steps_ahead_of(const std::string& text) {
  int value = -1;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || value < 0 || value > STEPS_AHEAD_MAX) {
    throw std::invalid_argument(
        "VELKO_STEPS_AHEAD must be a whole number from 0 to " + std::to_string(STEPS_AHEAD_MAX) +
        " (the most steps sent to a sim ahead of their answers; 0 or 1: one at a time), not " +
        quoted(text));
  }
  return value;
}

}  // namespace

Settings read_settings(const std::function<const char*(const char*)>& lookup) {
  auto get = [&lookup](const char* name) -> std::optional<std::string> {
    const char* value = lookup(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
  };
  Settings settings;
  if (auto value = get("VELKO_API_URL")) settings.url_api = *value;
  settings.api_token = get("VELKO_API_TOKEN");
  if (auto value = get("VELKO_COMPUTE_URL")) settings.compute_url = *value;
  settings.node_token = get("VELKO_NODE_TOKEN");
  settings.project = get("VELKO_PROJECT").value_or("");
  settings.org = get("VELKO_ORG").value_or("");
  settings.log_level = get("VELKO_LOG_LEVEL").value_or("");
  settings.color = !get("NO_COLOR") && get("TERM").value_or("") != "dumb";
  if (auto value = get("VELKO_STEPS_AHEAD")) settings.steps_ahead = steps_ahead_of(*value);
  return settings;
}

Settings read_settings_from_environment() {
  return read_settings([](const char* name) { return std::getenv(name); });
}

std::string settings_help() {
  std::string out = "Environment:\n";
  for (const Variable& variable : kVariables) {
    std::string name = variable.name;
    out += "  " + name + std::string(name.size() < 20 ? 20 - name.size() : 1, ' ') +
           variable.meaning + "\n";
  }
  return out;
}

}  // namespace velko::core
