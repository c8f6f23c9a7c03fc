#include "cli/sim_commands/sim_validate.h"

#include <memory>
#include <optional>

#include <spdlog/logger.h>
#include <CLI/CLI.hpp>

#include "cli/sim_commands/command_options.h"
#include "common/console.h"
#include "common/json_text.h"
#include "common/logging.h"
#include "host/settings.h"
#include "main/dataset_replay/host_sim_module.h"
#include "main/dataset_replay/sim_connection.h"
#include "sim_connection/sim_loader.h"

namespace velko::sim_commands {

namespace {

// Most steps a validation makes: each keeps its time for the table.
constexpr std::int64_t kMaxValidateSteps = 1'000'000;

// Runs `sim validate` with the host's sim connection; yields the exit status.
awaitable<int> run_validate(const host::Settings& settings, Console& console,
                            ValidateOptions options, bool as_json) {
  sim_connection::SimComponents components =
      sim_connection::load_sim_connection(settings.steps_ahead);
  std::shared_ptr<spdlog::logger> logger =
      logging::make_logger("velko.sim_validate", settings.log_level);
  // With --json, standard output holds the JSON alone: the status lines go to standard error.
  std::optional<Console> progress;
  if (as_json) progress.emplace(/*to_stderr=*/true, settings.color);
  // Steps in batches go as a report run would send them (VELKO_STEP_BATCH, VELKO_BATCH_WINDOW).
  dataset_replay::Timings timings;
  timings.batching = settings.batching;
  const SimValidation parts{*components.sims, *components.host_sim, as_json ? *progress : console,
                            *logger, timings};
  Validation validation = co_await validate_sim(parts, std::move(options));
  if (as_json) {
    console.print(escape_markup(json_text::to_json(validation_json(validation))));
  } else {
    print_validation(console, validation);
  }
  co_return validation.passed() ? 0 : 1;
}

}  // namespace

void add_validate_command(CLI::App& sim, const host::Settings& settings, Console& console) {
  struct Given {
    ValidateOptions options;
    std::int64_t seed = 0;
    std::string env_init;
    bool json = false;
    int max_answer_mib = static_cast<int>(dataset_replay::DEFAULT_MAX_ANSWER_BYTES >> 20);
  };
  auto given = std::make_shared<Given>();
  CLI::App* command = sim.add_subcommand(
      "validate",
      "Check the sim in PATH before publishing it: that it starts, answers the sim protocol "
      "with values of its own spaces, and ends when asked");
  command
      ->add_option("path", given->options.path,
                   "The sim: a directory with velko-sim.json, or an executable")
      ->capture_default_str();
  command
      ->add_option("--steps", given->options.steps,
                   "Steps to make with actions sampled from the action space")
      ->check(whole_number_check(1, kMaxValidateSteps, "100"))
      ->capture_default_str();
  command
      ->add_option("--seed", given->seed,
                   "Seed of the env's resets and of the sampled actions: the same seed "
                   "repeats a validation")
      ->check(whole_number_check(0, INT64_MAX, "7"))
      ->capture_default_str();
  command
      ->add_option("--env-init", given->env_init,
                   "The sim's initial settings as a JSON object, e.g. '{\"seed\": 7}'")
      ->check(env_init_check());
  command
      ->add_option("--call-timeout", given->options.call_timeout_s,
                   "Seconds that one sim call may take")
      ->check(call_timeout_check())
      ->capture_default_str();
  add_max_answer_size(*command, given->max_answer_mib);
  command->add_flag("--json", given->json,
                    "Print the result as one JSON object (for CI) instead of lines and a table");
  command->footer(
      "\nExit status: 0 when every check passes, 1 when one fails, 130 when interrupted.");
  command->callback([&settings, &console, given] {
    ValidateOptions options = given->options;
    options.seed = static_cast<std::uint64_t>(given->seed);
    options.max_answer_bytes = static_cast<std::size_t>(given->max_answer_mib) << 20;
    if (!given->env_init.empty()) options.env_init = env_init_object(given->env_init);
    int status = async_to_sync(run_validate)(settings, console, options, given->json);
    if (status != 0) throw CLI::RuntimeError(status);
  });
}

}  // namespace velko::sim_commands
