#include "cli/sim_commands/setup_checks.h"

#include <chrono>
#include <tuple>

#include <boost/json/array.hpp>

#include "cli/sim_commands/mapping_check.h"
#include "cli/sim_commands/validation_run.h"
#include "common/console.h"
#include "common/errors.h"
#include "spaces/space_check.h"

namespace velko::sim_commands {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;

namespace {

// The identifiers that the sim client is given.
constexpr const char* kValidateRunId = "sim-validate";

const char* const kSimProtocolDoc = "docs/sim-protocol.md";

}  // namespace

awaitable<bool> check_start(ValidationRun& run) {
  Clock::time_point started = Clock::now();
  std::exception_ptr error;
  try {
    const dataset_replay::SimStarter starter{run.parts.sims, run.parts.host_sim, run.parts.console,
                                             run.parts.logger, run.parts.timings.serve_timeout_s};
    const int port = run.parts.sims.get_free_port();
    run.address = co_await dataset_replay::start_sim(starter, run.options.path, port, run.process,
                                                     run.output);
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  std::string limit = seconds_text(run.parts.timings.serve_timeout_s);
  if (!error) {
    run.pass(Check::kStart, "the sim served within " + duration_text(seconds_since(started)) +
                                " (the limit is " + limit + " s)");
    co_return true;
  }
  if (is_interrupt(error)) std::rethrow_exception(error);
  // "The sim did not start:\n\n" and the end of its output, or the cause when it wrote nothing.
  std::string message = error_text(error);
  std::exception_ptr cause = cause_of(error);
  std::string why = cause ? error_text(cause) : message;
  std::size_t body = message.find("\n\n");
  std::string output = body == std::string::npos ? "" : message.substr(body + 2);
  if (output == why) output.clear();
  run.fail(Check::kStart, "the sim did not start: " + why,
           "it must serve the sim protocol on the --host and --port added to its command within " +
               limit + " s (" + kSimProtocolDoc + ")",
           output);
  co_return false;
}

awaitable<bool> check_set_up(ValidationRun& run) {
  std::exception_ptr error;
  bool making = false;
  try {
    run.client = dataset_replay::connect_sim(run.parts.sims, run.address, run.options.env_init,
                                             kValidateRunId, run.options.max_answer_bytes);
    co_await run.timed(run.client->init(), "init()");
    making = true;
    co_await run.timed(run.client->make(), "make()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  if (error) {
    co_await run.call_failed(Check::kSetUp, error, making ? "while making the environment" : "",
                             "make Init and Make answer; Make is given the settings of --env-init");
    co_return false;
  }
  run.pass(Check::kSetUp, "both answered");
  co_return true;
}

awaitable<bool> check_mappings_and_spaces(ValidationRun& run) {
  auto line = run.parts.console.status("Reading the sim's mappings and spaces...");
  json::value mappings;
  std::string mappings_failure;
  std::exception_ptr error;
  try {
    mappings = co_await run.timed(run.client->get_mappings(), "get_mappings()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  if (error && (is_interrupt(error) || is_timeout(error))) {
    co_await run.call_failed(Check::kMappings, error, "", "");
    co_return false;
  }
  // As in the report run, a sim without GetMappings is mapped from its spaces.
  if (error) mappings_failure = error_text(error);

  json::value sensor_info;
  json::value action_info;
  error = nullptr;
  try {
    sensor_info = co_await run.timed(run.client->sensor_space_info(), "sensor_space_info()");
    action_info = co_await run.timed(run.client->action_space_info(), "action_space_info()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  if (error && (is_interrupt(error) || is_timeout(error))) {
    co_await run.call_failed(Check::kSpaces, error, "", "");
    co_return false;
  }
  std::vector<std::string> space_problems;
  if (!error) {
    for (auto [info, space, role] : {std::tuple{&sensor_info, &run.sensor_space, "sensor"},
                                     std::tuple{&action_info, &run.action_space, "action"}}) {
      try {
        space->emplace(spaces::parse_space(*info));
      } catch (const spaces::SpaceError& problem) {
        space_problems.push_back(std::string("the ") + role + " space: " + problem.what());
      }
    }
  }

  const char* mapping_advice =
      "give each mapping {\"name\": slot path} of one variable of its space (docs/spaces.md)";
  if (!mappings_failure.empty()) {
    std::string note =
        "GetMappings failed (" + mappings_failure + "), so they come from the spaces";
    if (run.sensor_space && run.action_space) {
      json::object from_spaces;
      json::object sensors;
      json::object actions;
      try {
        sensors["mappings"] = spaces::convert_space_to_json(*run.sensor_space);
        actions["mappings"] = spaces::convert_space_to_json(*run.action_space);
      } catch (const spaces::SpaceError& problem) {
        space_problems.push_back(problem.what());
      }
      from_spaces["sensor_space"] = std::move(sensors);
      from_spaces["action_space"] = std::move(actions);
      mappings = std::move(from_spaces);
      mappings_failure = note;
    } else {
      run.fail(Check::kMappings, note + ", which could not be read", mapping_advice);
    }
  }
  if (const json::value* sensors =
          mappings.is_object() ? mappings.get_object().if_contains("sensor_space") : nullptr;
      sensors && sensors->is_object()) {
    if (const json::value* list = sensors->get_object().if_contains("mappings");
        list && list->is_array()) {
      for (const json::value& mapping : list->get_array()) {
        const json::object* map = mapping.if_object();
        const json::value* name = map ? map->if_contains("name") : nullptr;
        const json::value* mapped = map ? map->if_contains("name_mapped") : nullptr;
        if (name && name->is_string() && mapped && mapped->is_string()) {
          std::string path(name->get_string());
          // A path of blanks is the whole value, which the space walk names " ".
          if (path.find_first_not_of(" \t") == std::string::npos) path = " ";
          run.sensor_names.emplace(std::move(path), std::string(mapped->get_string()));
        }
      }
    }
  }
  if (run.result.result(Check::kMappings).outcome == Outcome::kNotChecked) {
    MappingCheck check = check_mappings(mappings, run.sensor_space ? &*run.sensor_space : nullptr,
                                        run.action_space ? &*run.action_space : nullptr);
    if (check.passed()) {
      std::string summary = plural(static_cast<std::int64_t>(check.sensors), "sensor", "sensors") +
                            " and " +
                            plural(static_cast<std::int64_t>(check.actions), "action", "actions");
      if (run.sensor_space && run.action_space) summary += ", each at one variable of its space";
      if (!mappings_failure.empty()) summary += " (" + mappings_failure + ")";
      run.pass(Check::kMappings, summary);
    } else {
      std::string summary = joined(check.problems);
      if (check.problem_count > check.problems.size()) {
        summary +=
            " (and " + std::to_string(check.problem_count - check.problems.size()) + " more)";
      }
      run.fail(Check::kMappings, summary, mapping_advice);
    }
  }

  if (error) {
    co_await run.call_failed(Check::kSpaces, error, "",
                             "make SensorSpaceInfo and ActionSpaceInfo answer the descriptions of "
                             "the spaces (docs/spaces.md)");
    co_return false;
  }
  if (!space_problems.empty()) {
    run.fail(Check::kSpaces, joined(space_problems), "describe each space as docs/spaces.md says");
    co_return false;
  }
  run.pass(Check::kSpaces, "the sensor space has " +
                               plural(static_cast<std::int64_t>(run.sensor_space->variables),
                                      "variable", "variables") +
                               ", the action space " + std::to_string(run.action_space->variables));
  // An observation far larger than the space is refused before it is built, as in a report
  // run.
  run.client->bound_observations(run.sensor_space->variables);
  // A mapping that a replay could not use does not keep the sim from being stepped.
  co_return true;
}

}  // namespace velko::sim_commands
