#include "host/settings.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "cli/sim_commands/command_options.h"
#include "common/literal.h"

namespace velko::host {

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
    {"VELKO_STEP_BATCH",
     "steps in one message to a sim that takes batches, 0 to 1024 (default 32; 0 or 1: none)"},
    {"VELKO_BATCH_WINDOW", "steps in flight in batches, VELKO_STEP_BATCH to 16384 (default 256)"},
    {"VELKO_SIMS",
     "processes of a sim that `sim publish` replays over, 1 to 64 or auto (one a core); "
     "default 1, or auto when the sim's velko-sim.json says \"several_processes\": true"},
    {"NO_COLOR", "set: no colours"},
};

// The value of variable `name`: a whole number from `low` to `high`, written plainly; else
// std::invalid_argument saying what the variable means.
int whole_number_of(const char* name, const std::string& text, int low, int high,
                    const char* meaning) {
  int value = -1;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || value < low || value > high) {
    throw std::invalid_argument(std::string(name) + " must be a whole number from " +
                                std::to_string(low) + " to " + std::to_string(high) + " (" +
                                meaning + "), not " + quoted(text));
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
  if (auto value = get("VELKO_STEPS_AHEAD")) {
    settings.steps_ahead =
        whole_number_of("VELKO_STEPS_AHEAD", *value, 0, STEPS_AHEAD_MAX,
                        "the most steps sent to a sim ahead of their answers; 0 or 1: one at a "
                        "time");
  }
  if (auto value = get("VELKO_STEP_BATCH")) {
    settings.batching.steps = whole_number_of(
        "VELKO_STEP_BATCH", *value, 0, STEP_BATCH_MAX,
        "the most steps in one message to a sim that takes batches; 0 or 1: no batches");
  }
  // The window holds at least one batch: the default window grows to a larger batch, and a
  // window given below the batch size is refused.
  const int least_window = std::max(settings.batching.steps, 1);
  settings.batching.window = std::max(settings.batching.window, least_window);
  if (auto value = get("VELKO_BATCH_WINDOW")) {
    settings.batching.window =
        whole_number_of("VELKO_BATCH_WINDOW", *value, least_window, BATCH_WINDOW_MAX,
                        "the most steps in flight in batches, at least VELKO_STEP_BATCH");
  }
  if (auto value = get("VELKO_SIMS"))
    settings.sims = sim_commands::sim_count_of(*value, "VELKO_SIMS");
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

}  // namespace velko::host
