#include "outside/velko_core/settings.h"

#include <cstdlib>
#include <string_view>

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
    {"NO_COLOR", "set: no colours"},
};

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
