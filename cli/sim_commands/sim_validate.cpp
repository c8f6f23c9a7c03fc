#include "cli/sim_commands/sim_validate.h"

#include <algorithm>
#include <csignal>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>
#include <vector>

#include <boost/asio/this_coro.hpp>
#include <boost/json/array.hpp>
#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <spdlog/logger.h>

#include "cli/sim_commands/command_options.h"
#include "cli/sim_commands/mapping_check.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/json_access.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "common/logging.h"
#include "host/settings.h"
#include "main/dataset_replay/episode_steps.h"
#include "main/dataset_replay/host_sim_module.h"
#include "main/dataset_replay/sim_call.h"
#include "main/dataset_replay/sim_connection.h"
#include "main/dataset_replay/sim_start.h"
#include "sim_connection/sim_command.h"
#include "sim_connection/sim_loader.h"
#include "spaces/space_check.h"
#include "spaces/spaces.h"

namespace velko::sim_commands {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;

namespace {

// The identifiers that the sim client is given.
constexpr const char* kValidateRunId = "sim-validate";
// The status line says how far the steps are every this many steps.
constexpr std::int64_t kStatusEvery = 10;
// Most steps a validation makes: each keeps its time for the table.
constexpr std::int64_t kMaxValidateSteps = 1'000'000;
// Most steps that the comparison of steps sent ahead with steps one at a time makes each way.
constexpr std::int64_t kMaxAheadSteps = 1'000;
// Seconds that the rest of a sim's group has, at least, to end after the sim itself.
constexpr double kGroupEndS = 1;
// Seconds that a sim whose call failed has to be seen ending, so that its end and its last
// output can be shown with the failure.
constexpr double kEndSettleS = 0.3;
// Seconds as messages show them: 300, 0.5.
std::string seconds_text(double seconds) { return fmt::format("{:g}", seconds); }

// Longest action that a message shows.
constexpr std::size_t kShownActionBytes = 200;

const char* const kSimProtocolDoc = "docs/sim-protocol.md";

// The error that another error was raised for, if any.
std::exception_ptr cause_of(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::nested_exception& nested) {
    return nested.nested_ptr();
  } catch (...) {
    return nullptr;
  }
}

double seconds_since(Clock::time_point started) {
  return std::chrono::duration<double>(Clock::now() - started).count();
}

std::string plural(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// A value as a message shows it: its JSON text, cut when long.
std::string shown(const json::value& value) {
  std::string text = json_text::to_json(value);
  if (text.size() > kShownActionBytes) text = text.substr(0, kShownActionBytes) + "...";
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

// The first problem of a kind and how many there were, as one text.
struct Tally {
  std::string first;
  std::int64_t count = 0;

  void add(std::string problem) {
    if (count++ == 0) first = std::move(problem);
  }
  std::string text(const char* one, const char* many) const {
    if (count <= 1) return first;
    return first + " (and " + plural(count - 1, one, many) + " more)";
  }
};

// True for a step answer that ends its episode (terminated or truncated).
bool ends_episode(const std::vector<json::value>& answer) {
  auto set = [](const json::value& flag) { return flag.is_bool() && flag.get_bool(); };
  return answer.size() == 5 && (set(answer[2]) || set(answer[3]));
}

// The name of the first part in which two step answers differ.
std::string differing_part(const std::vector<json::value>& one, const std::vector<json::value>& other) {
  static const char* const kParts[] = {"observation", "reward", "terminated", "truncated", "info"};
  for (std::size_t i = 0; i < std::min(one.size(), other.size()); ++i) {
    if (one[i] != other[i]) {
      std::string part = i < std::size(kParts) ? kParts[i] : "part " + std::to_string(i + 1);
      return "the " + part + " " + shown(other[i]) + " instead of " + shown(one[i]);
    }
  }
  return plural(static_cast<std::int64_t>(other.size()), "value", "values") + " instead of " +
         std::to_string(one.size());
}

// Runs the checks of one validation and keeps what they found.
class Validator {
 public:
  Validator(const SimValidation& parts, ValidateOptions options)
      : parts_(parts), options_(std::move(options)) {
    result_.path = options_.path;
    result_.steps_asked = options_.steps;
    result_.seed = options_.seed;
    result_.call_timeout_s = options_.call_timeout_s;
  }

  awaitable<Validation> run();

 private:
  // The checks in order, up to the first that cannot go on.
  awaitable<void> checks();
  // Each yields whether the checks can go on.
  awaitable<bool> start();
  awaitable<bool> set_up();
  awaitable<bool> mappings_and_spaces();
  awaitable<bool> reset();
  awaitable<bool> steps();
  awaitable<bool> steps_ahead();
  // What stepping ahead one way found against the same steps one at a time.
  struct AheadRun {
    std::int64_t answered = 0;
    // The first difference from one at a time; empty for none.
    std::string difference;
    // How the steps went: "sent ahead" or "in batches".
    std::string way;
  };
  // Sends `actions` on `stream` as a replay sends them, and compares the answers with
  // `expected`; `at` names where it was when it throws.
  awaitable<AheadRun> run_ahead(dataset_replay::EpisodeSteps& stream,
                                const std::vector<boost::json::value>& actions,
                                const std::vector<std::vector<boost::json::value>>& expected,
                                const std::string& way, std::string& at);
  // Close, the end of the process and of its group; then the verdict on the call times.
  awaitable<void> close();

  // Awaits a call of the sim under the time limit and notes how long it took.
  template <class T>
  awaitable<T> timed(awaitable<T> call, const char* name);
  // Records a failed call: a time-out fails the call times, any other error `check`, with
  // how the sim ended if it did. Raises an interrupt again.
  awaitable<void> call_failed(Check check, std::exception_ptr error, std::string context,
                              std::string advice);

  // A reset with the validation's seed (later resets of an episode that ended go unseeded,
  // so that the env's random source goes on, as an env's first seeded reset sets it up).
  dataset_replay::ResetArgs seeded() const {
    dataset_replay::ResetArgs args;
    args.seed = options_.seed;
    return args;
  }

  void pass(Check check, std::string summary) {
    CheckResult& result = result_.result(check);
    result.outcome = Outcome::kPassed;
    result.summary = std::move(summary);
  }
  void fail(Check check, std::string summary, std::string advice, std::string output = "") {
    CheckResult& result = result_.result(check);
    result.outcome = Outcome::kFailed;
    result.summary = std::move(summary);
    result.advice = std::move(advice);
    result.output = std::move(output);
  }

  const SimValidation& parts_;
  ValidateOptions options_;
  Validation result_;
  dataset_replay::SimOutput output_;
  std::unique_ptr<dataset_replay::SimProcess> process_;
  std::unique_ptr<dataset_replay::SimClient> client_;
  std::string address_;
  std::optional<spaces::Space> sensor_space_;
  std::optional<spaces::Space> action_space_;
  // True once the process has been asked to end (by close()).
  bool stopped_ = false;
  // The sensor mappings' other names by slot path, to name a sensor without a value.
  std::map<std::string, std::string> sensor_names_;

  // The sensors at these slot paths as a message names them: 'tank_level' (['tank_level']).
  std::string sensors_text(const std::vector<std::string>& paths) const {
    std::string text;
    for (const std::string& path : paths) {
      if (!text.empty()) text += ", ";
      auto named = sensor_names_.find(path);
      text += named != sensor_names_.end() ? quoted(named->second) + " (" + path + ")"
                                           : "at " + path;
    }
    return (paths.size() == 1 ? "the sensor " : "the sensors ") + text;
  }
  // A warning of a check whose answers were well formed but had sensors without a value.
  void warn_unread(Check check, std::string summary) {
    CheckResult& result = result_.result(check);
    result.outcome = Outcome::kWarning;
    result.summary = std::move(summary);
    result.advice = kUnreadAdvice;
  }
  static constexpr const char* kUnreadAdvice =
      "a null is a reading without a value: a report run ends an episode's replay at the "
      "first row where a sensor it compares has none; send a number wherever there is one";
};

awaitable<Validation> Validator::run() {
  std::exception_ptr failure;
  try {
    co_await checks();
  } catch (...) {
    failure = as_interrupt_if_cancelled(std::current_exception());
  }
  client_.reset();
  if (process_ && !stopped_) {
    // The sim is stopped on every way out, an interrupt included.
    co_await boost::asio::this_coro::reset_cancellation_state();
    co_await dataset_replay::stop_sim(*process_, parts_.timings.terminate_grace_s);
  }
  // Whatever of its group is left goes with it.
  process_.reset();
  if (failure) std::rethrow_exception(failure);
  co_return std::move(result_);
}

awaitable<void> Validator::checks() {
  bool go_on = co_await start();
  if (go_on) go_on = co_await set_up();
  if (go_on) go_on = co_await mappings_and_spaces();
  if (go_on && options_.quick) {
    for (Check later : {Check::kReset, Check::kSteps, Check::kCallTimes, Check::kStepsAhead,
                        Check::kClose}) {
      CheckResult& result = result_.result(later);
      if (result.outcome != Outcome::kNotChecked) continue;
      result.outcome = Outcome::kSkipped;
      result.summary = "not part of the quick checks";
    }
    co_return;
  }
  if (go_on) go_on = co_await reset();
  if (go_on) go_on = co_await steps();
  if (go_on) go_on = co_await steps_ahead();
  if (!go_on) co_return;
  co_await close();
}

template <class T>
awaitable<T> Validator::timed(awaitable<T> call, const char* name) {
  Clock::time_point started = Clock::now();
  std::exception_ptr error;
  if constexpr (std::is_void_v<T>) {
    try {
      co_await dataset_replay::sim_call(std::move(call), name, options_.call_timeout_s);
    } catch (...) {
      error = std::current_exception();
    }
    if (!error || !is_interrupt(error)) result_.times.add(name, seconds_since(started));
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<T> answer;
    try {
      answer.emplace(
          co_await dataset_replay::sim_call(std::move(call), name, options_.call_timeout_s));
    } catch (...) {
      error = std::current_exception();
    }
    if (!error || !is_interrupt(error)) result_.times.add(name, seconds_since(started));
    if (error) std::rethrow_exception(error);
    co_return std::move(*answer);
  }
}

awaitable<void> Validator::call_failed(Check check, std::exception_ptr error, std::string context,
                                       std::string advice) {
  error = as_interrupt_if_cancelled(std::move(error));
  if (is_interrupt(error)) std::rethrow_exception(error);
  std::string where = context.empty() ? "" : context + ": ";
  if (is_timeout(error)) {
    fail(Check::kCallTimes, where + error_text(error),
         "make the sim answer sooner, or allow more with --call-timeout");
    result_.result(check).summary = "not finished: a call did not answer in time";
    co_return;
  }
  // A sim that crashed fails its call as its connection drops, a moment before its end can be
  // seen; its last lines come with that end.
  auto deadline = Clock::now() + seconds_to_duration(kEndSettleS);
  while (process_ && !process_->returncode() && Clock::now() < deadline) {
    co_await sleep_for(std::chrono::milliseconds(10));
  }
  std::string summary = where + error_text(error);
  std::string output;
  if (std::optional<int> code = process_ ? process_->returncode() : std::nullopt) {
    co_await sleep_for(std::chrono::milliseconds(20));
    summary += "; the sim " + sim_connection::describe_exit(*code);
    output = parts_.host_sim._tail(output_.joined());
  }
  fail(check, std::move(summary), std::move(advice), std::move(output));
}

awaitable<bool> Validator::start() {
  Clock::time_point started = Clock::now();
  std::exception_ptr error;
  try {
    const dataset_replay::SimStarter starter{parts_.sims, parts_.host_sim, parts_.console,
                                             parts_.logger, parts_.timings.serve_timeout_s};
    const int port = parts_.sims.get_free_port();
    address_ = co_await dataset_replay::start_sim(starter, options_.path, port, process_, output_);
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  std::string limit = seconds_text(parts_.timings.serve_timeout_s);
  if (!error) {
    pass(Check::kStart, "the sim served within " + duration_text(seconds_since(started)) +
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
  fail(Check::kStart, "the sim did not start: " + why,
       "it must serve the sim protocol on the --host and --port added to its command within " +
           limit + " s (" + kSimProtocolDoc + ")",
       output);
  co_return false;
}

awaitable<bool> Validator::set_up() {
  std::exception_ptr error;
  bool making = false;
  try {
    client_ = dataset_replay::connect_sim(parts_.sims, address_, options_.env_init,
                                          kValidateRunId, options_.max_answer_bytes);
    co_await timed(client_->init(), "init()");
    making = true;
    co_await timed(client_->make(), "make()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  if (error) {
    co_await call_failed(Check::kSetUp, error, making ? "while making the environment" : "",
                         "make Init and Make answer; Make is given the settings of --env-init");
    co_return false;
  }
  pass(Check::kSetUp, "both answered");
  co_return true;
}

awaitable<bool> Validator::mappings_and_spaces() {
  auto line = parts_.console.status("Reading the sim's mappings and spaces...");
  json::value mappings;
  std::string mappings_failure;
  std::exception_ptr error;
  try {
    mappings = co_await timed(client_->get_mappings(), "get_mappings()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  if (error && (is_interrupt(error) || is_timeout(error))) {
    co_await call_failed(Check::kMappings, error, "", "");
    co_return false;
  }
  // As in the report run, a sim without GetMappings is mapped from its spaces.
  if (error) mappings_failure = error_text(error);

  json::value sensor_info;
  json::value action_info;
  error = nullptr;
  try {
    sensor_info = co_await timed(client_->sensor_space_info(), "sensor_space_info()");
    action_info = co_await timed(client_->action_space_info(), "action_space_info()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  if (error && (is_interrupt(error) || is_timeout(error))) {
    co_await call_failed(Check::kSpaces, error, "", "");
    co_return false;
  }
  std::vector<std::string> space_problems;
  if (!error) {
    for (auto [info, space, role] : {std::tuple{&sensor_info, &sensor_space_, "sensor"},
                                     std::tuple{&action_info, &action_space_, "action"}}) {
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
    std::string note = "GetMappings failed (" + mappings_failure + "), so they come from the spaces";
    if (sensor_space_ && action_space_) {
      json::object from_spaces;
      json::object sensors;
      json::object actions;
      try {
        sensors["mappings"] = spaces::convert_space_to_json(*sensor_space_);
        actions["mappings"] = spaces::convert_space_to_json(*action_space_);
      } catch (const spaces::SpaceError& problem) {
        space_problems.push_back(problem.what());
      }
      from_spaces["sensor_space"] = std::move(sensors);
      from_spaces["action_space"] = std::move(actions);
      mappings = std::move(from_spaces);
      mappings_failure = note;
    } else {
      fail(Check::kMappings, note + ", which could not be read", mapping_advice);
    }
  }
  if (const json::value* sensors = mappings.is_object()
                                       ? mappings.get_object().if_contains("sensor_space")
                                       : nullptr;
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
          sensor_names_.emplace(std::move(path), std::string(mapped->get_string()));
        }
      }
    }
  }
  if (result_.result(Check::kMappings).outcome == Outcome::kNotChecked) {
    MappingCheck check = check_mappings(mappings, sensor_space_ ? &*sensor_space_ : nullptr,
                                        action_space_ ? &*action_space_ : nullptr);
    if (check.passed()) {
      std::string summary = plural(static_cast<std::int64_t>(check.sensors), "sensor", "sensors") +
                            " and " +
                            plural(static_cast<std::int64_t>(check.actions), "action", "actions");
      if (sensor_space_ && action_space_) summary += ", each at one variable of its space";
      if (!mappings_failure.empty()) summary += " (" + mappings_failure + ")";
      pass(Check::kMappings, summary);
    } else {
      std::string summary = joined(check.problems);
      if (check.problem_count > check.problems.size()) {
        summary += " (and " + std::to_string(check.problem_count - check.problems.size()) +
                   " more)";
      }
      fail(Check::kMappings, summary, mapping_advice);
    }
  }

  if (error) {
    co_await call_failed(Check::kSpaces, error, "",
                         "make SensorSpaceInfo and ActionSpaceInfo answer the descriptions of "
                         "the spaces (docs/spaces.md)");
    co_return false;
  }
  if (!space_problems.empty()) {
    fail(Check::kSpaces, joined(space_problems), "describe each space as docs/spaces.md says");
    co_return false;
  }
  pass(Check::kSpaces, "the sensor space has " +
                           plural(static_cast<std::int64_t>(sensor_space_->variables),
                                  "variable", "variables") +
                           ", the action space " +
                           std::to_string(action_space_->variables));
  // An observation far larger than the space is refused before it is built, as in a report
  // run.
  client_->bound_observations(sensor_space_->variables);
  // A mapping that a replay could not use does not keep the sim from being stepped.
  co_return true;
}

awaitable<bool> Validator::reset() {
  std::vector<json::value> answer;
  std::exception_ptr error;
  try {
    answer = co_await timed(client_->reset(seeded()), "reset()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  const char* advice = "make Reset answer [observation, info] (docs/sim-protocol.md)";
  if (error) {
    co_await call_failed(Check::kReset, error, "", advice);
    co_return false;
  }
  result_.episodes = 1;
  if (answer.size() != 2) {
    fail(Check::kReset,
         "Reset answered " + plural(static_cast<std::int64_t>(answer.size()), "value", "values") +
             " instead of 2 (observation, info)",
         advice);
    co_return false;
  }
  std::vector<std::string> problems;
  std::vector<std::string> advices;
  std::vector<std::string> nulls;
  if (std::optional<std::string> problem =
          spaces::value_problem(*sensor_space_, answer[0], nulls)) {
    problems.push_back("the observation is not in the sensor space, " + *problem);
    advices.push_back("keep observations within the sensor space, or widen it");
  }
  if (!answer[1].is_object()) {
    problems.push_back("info is " + json_access::kind_name(answer[1]) + ", not a map");
    advices.push_back("answer info as a map, such as {}");
  }
  if (problems.empty() && !nulls.empty()) {
    warn_unread(Check::kReset, "the observation of the reset has no value for " +
                                   sensors_text(nulls));
  } else if (problems.empty()) {
    pass(Check::kReset, "it answered [observation, info] with an observation of the sensor space");
  } else {
    fail(Check::kReset, joined(problems), joined(advices));
  }
  co_return true;
}

awaitable<bool> Validator::steps() {
  const std::int64_t total = options_.steps;
  auto line = parts_.console.status("Stepping the sim with sampled actions...");
  spaces::ComputeSpace sampler(*action_space_, options_.seed);
  const char* advice =
      "make Step answer [observation, reward, terminated, truncated, info] for every value of "
      "the action space (docs/sim-protocol.md)";
  Tally observations;
  Tally types;
  Tally unread;
  for (std::int64_t i = 1; i <= total; ++i) {
    if (i % kStatusEvery == 1) {
      line.update("Step " + std::to_string(i) + " of " + std::to_string(total) + "...");
    }
    const json::value action = sampler.sample();
    std::string at = "step " + std::to_string(i) + " of " + std::to_string(total);
    std::vector<json::value> answer;
    std::exception_ptr error;
    try {
      answer = co_await timed(client_->step(action), "step()");
    } catch (const std::exception&) {
      error = std::current_exception();
    }
    if (error) {
      co_await call_failed(Check::kSteps, error, at + " (action " + shown(action) + ")", advice);
      co_return false;
    }
    result_.steps_done = i;
    if (answer.size() != 5) {
      fail(Check::kSteps,
           at + " answered " + plural(static_cast<std::int64_t>(answer.size()), "value", "values") +
               " instead of 5 (observation, reward, terminated, truncated, info)",
           advice);
      co_return false;
    }
    std::vector<std::string> nulls;
    if (std::optional<std::string> problem =
            spaces::value_problem(*sensor_space_, answer[0], nulls)) {
      observations.add("the observation of " + at + " is not in the sensor space, " + *problem);
    } else if (!nulls.empty()) {
      unread.add("the observation of " + at + " has no value for " + sensors_text(nulls));
    }
    if (!answer[1].is_number()) {
      types.add("the reward of " + at + " is " + json_access::kind_name(answer[1]) +
                ", not a number");
    } else if (!answer[2].is_bool() || !answer[3].is_bool()) {
      const json::value& flag = answer[2].is_bool() ? answer[3] : answer[2];
      types.add(std::string(answer[2].is_bool() ? "truncated" : "terminated") + " of " + at +
                " is " + json_access::kind_name(flag) + ", not true or false");
    } else if (!answer[4].is_object()) {
      types.add("info of " + at + " is " + json_access::kind_name(answer[4]) + ", not a map");
    }
    bool ended = (answer[2].is_bool() && answer[2].get_bool()) ||
                 (answer[3].is_bool() && answer[3].get_bool());
    if (!ended || i == total) continue;

    // An ended episode is reset, and the count goes on.
    std::vector<json::value> reset;
    try {
      reset = co_await timed(client_->reset(), "reset()");
    } catch (const std::exception&) {
      error = std::current_exception();
    }
    std::string after = "the reset after " + at + " ended an episode";
    if (error) {
      co_await call_failed(Check::kSteps, error, after,
                           "make Reset answer [observation, info] whenever an episode ends");
      co_return false;
    }
    ++result_.episodes;
    if (reset.size() != 2) {
      fail(Check::kSteps,
           after + " answered " +
               plural(static_cast<std::int64_t>(reset.size()), "value", "values") +
               " instead of 2 (observation, info)",
           "make Reset answer [observation, info] whenever an episode ends");
      co_return false;
    }
    nulls.clear();
    if (std::optional<std::string> problem =
            spaces::value_problem(*sensor_space_, reset[0], nulls)) {
      observations.add("the observation of " + after + " is not in the sensor space, " + *problem);
    } else if (!nulls.empty()) {
      unread.add("the observation of " + after + " has no value for " + sensors_text(nulls));
    }
  }

  // The stream that carried the steps is read to its end: an answer that no step asked for
  // fails the check, however late it came.
  std::exception_ptr end_error;
  try {
    co_await dataset_replay::sim_call(client_->end_steps(), "step()", options_.call_timeout_s);
  } catch (const std::exception&) {
    end_error = std::current_exception();
  }
  if (end_error) {
    co_await call_failed(Check::kSteps, end_error, "the end of the steps",
                         "answer each step once, in order (docs/sim-protocol.md)");
    co_return false;
  }

  std::string done = plural(result_.steps_done, "step", "steps") + " over " +
                     plural(result_.episodes, "episode", "episodes") +
                     " with actions sampled from the action space (seed " +
                     std::to_string(options_.seed) + ")";
  if (observations.count == 0 && types.count == 0 && unread.count > 0) {
    warn_unread(Check::kSteps, done + ": " + unread.text("observation", "observations"));
  } else if (observations.count == 0 && types.count == 0) {
    pass(Check::kSteps, done + ", each answer well formed with an observation of the sensor space");
  } else {
    std::vector<std::string> problems = {types.text("step", "steps"),
                                          observations.text("observation", "observations")};
    std::vector<std::string> advices;
    if (types.count) advices.push_back(advice);
    if (observations.count) advices.push_back("keep observations within the sensor space, or widen it");
    fail(Check::kSteps, done + ": " + joined(problems), joined(advices));
  }
  co_return true;
}

awaitable<bool> Validator::steps_ahead() {
  if (!client_->takes_steps_ahead()) {
    CheckResult& result = result_.result(Check::kStepsAhead);
    result.outcome = Outcome::kSkipped;
    result.summary = "the sim does not announce them, so it is stepped one at a time";
    co_return true;
  }
  const int window =
      parts_.timings.steps_ahead > 1 ? parts_.timings.steps_ahead : dataset_replay::DEFAULT_STEPS_AHEAD;
  const std::int64_t total = std::min(options_.steps, kMaxAheadSteps);
  auto line = parts_.console.status("Stepping the sim with steps sent ahead...");
  const char* advice =
      "answer steps sent ahead as docs/sim-protocol.md says, or leave steps_ahead false in the "
      "answer to Init";

  // The same sampled actions twice, each time after a fresh Reset: one at a time up to the end
  // of the episode, then sent ahead as a replay sends a recorded episode that may go on
  // longer than the sim's, so that the sim must drop what comes after its ending answer.
  spaces::ComputeSpace sampler(*action_space_, options_.seed);
  std::vector<json::value> actions;
  for (std::int64_t i = 0; i < total; ++i) actions.push_back(sampler.sample());
  std::vector<std::vector<json::value>> expected;
  std::exception_ptr error;
  std::string at;
  try {
    at = "the reset before the steps one at a time";
    (void)co_await timed(client_->reset(seeded()), "reset()");
    for (const json::value& action : actions) {
      at = "step " + std::to_string(expected.size() + 1) + " one at a time";
      expected.push_back(co_await timed(client_->step(action), "step()"));
      if (ends_episode(expected.back())) break;
    }
    at = "the end of the steps one at a time";
    co_await dataset_replay::sim_call(client_->end_steps(), "step()", options_.call_timeout_s);
    at = "the reset before the steps sent ahead";
    (void)co_await timed(client_->reset(seeded()), "reset()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  if (error) {
    co_await call_failed(Check::kStepsAhead, error, at, advice);
    co_return false;
  }

  const auto count = static_cast<std::int64_t>(expected.size());
  // Sent ahead one to a message, then, for a sim that takes them, in batches after another
  // Reset: each way must answer as one at a time.
  dataset_replay::StepBatching batching = parts_.timings.batching;
  if (batching.steps <= 1) batching = dataset_replay::StepBatching{};
  const bool batches = client_->takes_batches();
  AheadRun run;
  try {
    std::unique_ptr<dataset_replay::EpisodeSteps> stream =
        client_->episode_steps(window, options_.call_timeout_s);
    run = co_await run_ahead(*stream, actions, expected, "sent ahead", at);
    stream.reset();
    if (batches && run.difference.empty() && run.answered == count) {
      line.update("Stepping the sim with steps in batches...");
      at = "the reset before the steps in batches";
      (void)co_await timed(client_->reset(seeded()), "reset()");
      stream = client_->episode_batches(batching, options_.call_timeout_s);
      if (stream) run = co_await run_ahead(*stream, actions, expected, "in batches", at);
    }
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  if (error) {
    co_await call_failed(Check::kStepsAhead, error, at, advice);
    co_return false;
  }

  std::string done = plural(count, "step", "steps") + " after a fresh Reset with seed " +
                     std::to_string(options_.seed) + ", up to " + std::to_string(window) +
                     " sent ahead" + (batches ? " and in batches" : "");
  if (run.difference.empty() && run.answered == count) {
    pass(Check::kStepsAhead, done + ", answered as the same steps one at a time");
  } else {
    if (run.difference.empty()) {
      run.difference = "the episode ended at step " + std::to_string(run.answered) + " " +
                       run.way + ", not at step " + std::to_string(count) +
                       " as one at a time";
    }
    CheckResult& result = result_.result(Check::kStepsAhead);
    result.outcome = Outcome::kWarning;
    result.summary = done + ": " + run.difference;
    result.advice =
        "every pass was reset with the same seed: make the sim's reset seed its random "
        "source, or a report run records other values than the sim gives one step at a time";
  }
  co_return true;
}

awaitable<Validator::AheadRun> Validator::run_ahead(
    dataset_replay::EpisodeSteps& stream, const std::vector<json::value>& actions,
    const std::vector<std::vector<json::value>>& expected, const std::string& way,
    std::string& at) {
  const auto total = static_cast<std::int64_t>(actions.size());
  const auto count = static_cast<std::int64_t>(expected.size());
  AheadRun run;
  run.way = way;
  std::int64_t sent = 0;
  bool ended = false;
  while (!ended && run.answered < total) {
    while (sent < total && sent - run.answered < stream.window()) {
      stream.send(actions[static_cast<std::size_t>(sent++)]);
    }
    at = "step " + std::to_string(run.answered + 1) + " " + way;
    std::vector<json::value> answer = co_await stream.next();
    ++run.answered;
    ended = ends_episode(answer);
    if (!run.difference.empty()) continue;
    if (run.answered > count) {
      run.difference = "the episode went on past step " + std::to_string(count) +
                       ", where it ended one at a time";
    } else if (answer != expected[static_cast<std::size_t>(run.answered - 1)]) {
      run.difference = "step " + std::to_string(run.answered) + " " + way + " answered " +
                       differing_part(expected[static_cast<std::size_t>(run.answered - 1)],
                                      answer);
    }
  }
  at = "the end of the steps " + way;
  co_await stream.finish(ended);
  co_return run;
}

awaitable<void> Validator::close() {
  std::vector<std::string> problems;
  std::vector<std::string> advices;
  std::exception_ptr error;
  try {
    co_await timed(client_->close(), "close()");
  } catch (const std::exception&) {
    error = std::current_exception();
  }
  error = error ? as_interrupt_if_cancelled(error) : nullptr;
  if (error && is_interrupt(error)) std::rethrow_exception(error);
  if (error && is_timeout(error)) {
    fail(Check::kCallTimes, error_text(error),
         "make the sim answer sooner, or allow more with --call-timeout");
    problems.push_back("Close did not answer in time");
  } else if (error) {
    problems.push_back("Close failed: " + error_text(error));
    advices.push_back("make Close answer");
  }
  client_.reset();

  // The process ends when it is asked to, with nothing of its group left behind.
  stopped_ = true;
  const double grace = parts_.timings.terminate_grace_s;
  Clock::time_point asked = Clock::now();
  process_->terminate();
  std::optional<int> code;
  error = nullptr;
  try {
    code = co_await with_timeout(process_->wait(), grace, "the sim did not end when asked");
  } catch (const TimeoutError&) {
  } catch (...) {
    error = std::current_exception();
  }
  if (error) {
    process_->kill();
    std::rethrow_exception(error);
  }
  if (!code) {
    process_->kill();
    problems.push_back("the sim did not end within " + seconds_text(grace) +
                       " s of SIGTERM, so it was killed");
    advices.push_back("end the sim when it gets SIGTERM");
  } else {
    // Status 0, or the end that SIGTERM itself gives a sim that does not catch it.
    if (*code != 0 && *code != -SIGTERM) {
      problems.push_back("the sim " + sim_connection::describe_exit(*code) + " when asked to end");
      advices.push_back("exit with status 0 on SIGTERM");
    }
    double left_s = std::max(kGroupEndS, grace - seconds_since(asked));
    auto deadline = Clock::now() + seconds_to_duration(left_s);
    std::vector<std::string> left = process_->group_left();
    while (!left.empty() && Clock::now() < deadline) {
      co_await sleep_for(std::chrono::milliseconds(20));
      left = process_->group_left();
    }
    if (!left.empty()) {
      process_->kill();
      std::string list;
      for (const std::string& process : left) list += (list.empty() ? "" : ", ") + process;
      problems.push_back(plural(static_cast<std::int64_t>(left.size()), "process", "processes") +
                         " of its group still ran after it ended: " + list);
      advices.push_back("end what the sim starts when it ends (SIGTERM goes to its whole group)");
    }
  }
  if (problems.empty()) {
    pass(Check::kClose, "it answered, and the sim ended when asked and left nothing behind");
  } else {
    fail(Check::kClose, joined(problems), joined(advices));
  }

  if (result_.result(Check::kCallTimes).outcome == Outcome::kNotChecked) {
    std::string slowest;
    double slowest_s = -1;
    for (const CallTimes::Summary& call : result_.times.summaries()) {
      if (call.slowest_s > slowest_s) {
        slowest_s = call.slowest_s;
        slowest = call.call;
      }
    }
    pass(Check::kCallTimes, "every call answered within " + seconds_text(options_.call_timeout_s) +
                                " s; the slowest was " + slowest + " in " +
                                duration_text(slowest_s));
  }
}

// Runs `sim validate` with the host's sim connection; yields the exit status.
awaitable<int> run_validate(const host::Settings& settings, Console& console,
                            ValidateOptions options, bool as_json) {
  sim_connection::SimComponents components = sim_connection::load_sim_connection();
  std::shared_ptr<spdlog::logger> logger =
      logging::make_logger("velko.sim_validate", settings.log_level);
  // With --json, standard output holds the JSON alone: the status lines go to standard error.
  std::optional<Console> progress;
  if (as_json) progress.emplace(/*to_stderr=*/true, settings.color);
  const SimValidation parts{*components.sims, *components.host_sim,
                            as_json ? *progress : console, *logger};
  Validation validation = co_await validate_sim(parts, std::move(options));
  if (as_json) {
    console.print(escape_markup(json_text::to_json(validation_json(validation))));
  } else {
    print_validation(console, validation);
  }
  co_return validation.passed() ? 0 : 1;
}

}  // namespace

std::string failed_checks_text(const Validation& validation) {
  std::string text;
  for (const CheckResult& result : validation.checks) {
    if (result.outcome != Outcome::kFailed) continue;
    if (!text.empty()) text += "; ";
    text += std::string(check_title(result.check)) + ": " + result.summary;
    if (!result.advice.empty()) text += " (" + result.advice + ")";
  }
  return text;
}

awaitable<Validation> validate_sim(const SimValidation& parts, ValidateOptions options) {
  Validator validator(parts, std::move(options));
  co_return co_await validator.run();
}

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
  command->add_option("path", given->options.path,
                      "The sim: a directory with velko-sim.json, or an executable")
      ->capture_default_str();
  command->add_option("--steps", given->options.steps,
                      "Steps to make with actions sampled from the action space")
      ->check(whole_number_check(1, kMaxValidateSteps, "100"))
      ->capture_default_str();
  command->add_option("--seed", given->seed,
                      "Seed of the env's resets and of the sampled actions: the same seed "
                      "repeats a validation")
      ->check(whole_number_check(0, INT64_MAX, "7"))
      ->capture_default_str();
  command->add_option("--env-init", given->env_init,
                      "The sim's initial settings as a JSON object, e.g. '{\"seed\": 7}'")
      ->check(env_init_check());
  command->add_option("--call-timeout", given->options.call_timeout_s,
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
