// The host's settings: everything velko takes from its environment, read once per
// command by the host and handed to whatever needs it. Nothing else in velko reads the
// environment (a sim reads its own address, as a process of its own).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "main/dataset_replay/run_context.h"
#include "sim_connection/steps_ahead.h"

namespace velko::host {

// Most that VELKO_STEPS_AHEAD may be.
inline constexpr int STEPS_AHEAD_MAX = 1024;
// Most that VELKO_STEP_BATCH may be.
inline constexpr int STEP_BATCH_MAX = 1024;
// Most that VELKO_BATCH_WINDOW may be.
inline constexpr int BATCH_WINDOW_MAX = 16384;

struct Settings {
  // The platform's base URL (`settings.URL_API`): VELKO_API_URL.
  std::string url_api = "http://127.0.0.1:8700";
  // Sent as a bearer token on every platform request: VELKO_API_TOKEN.
  std::optional<std::string> api_token;
  // The local compute node's base URL, used as given: VELKO_COMPUTE_URL.
  std::string compute_url = "http://127.0.0.1:8710";
  // Sent as a bearer token on every compute-node request: VELKO_NODE_TOKEN.
  std::optional<std::string> node_token;
  // The project (id or name) that commands use without asking: VELKO_PROJECT.
  std::string project;
  // The organisation of `sim publish` and `sim list` when --org is not given: VELKO_ORG.
  std::string org;
  // The debug log's level (debug shows it): VELKO_LOG_LEVEL.
  std::string log_level;
  // Styles on a terminal: off when NO_COLOR is set or TERM is "dumb".
  bool color = true;
  // Most steps of an episode sent ahead of their answers to a sim that takes them, 0 to
  // STEPS_AHEAD_MAX (0 or 1: one at a time): VELKO_STEPS_AHEAD.
  int steps_ahead = sim_connection::DEFAULT_STEPS_AHEAD;
  // Batches of steps to a sim that takes them: most steps in one message, 0 to STEP_BATCH_MAX
  // (0 or 1: no batches), VELKO_STEP_BATCH; most steps in flight, from the batch size to
  // BATCH_WINDOW_MAX, VELKO_BATCH_WINDOW.
  dataset_replay::StepBatching batching;
  // Processes of a sim that `sim publish` replays over (0: one a core), VELKO_SIMS; none: as
  // the sim's description says.
  std::optional<int> sims;
};

// Reads the settings through `lookup` (an empty variable counts as unset). A value that no
// command could run with, VELKO_STEPS_AHEAD, VELKO_STEP_BATCH, VELKO_BATCH_WINDOW or VELKO_SIMS out
// of its range (the window below the batch size included), is std::invalid_argument naming
// the variable; the others are taken as they are, and tokens are checked where they are sent.
Settings read_settings(const std::function<const char*(const char*)>& lookup);

// read_settings of this process's environment.
Settings read_settings_from_environment();

// The environment variables, what they mean and their defaults, as `velko --help` lists them.
std::string settings_help();

}  // namespace velko::host
