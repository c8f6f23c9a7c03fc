#include "main/dataset_replay/rollout.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "common/errors.h"
#include "common/literal.h"
#include "main/dataset_replay/core_library.h"
#include "main/dataset_replay/episode_steps.h"
#include "main/dataset_replay/plan.h"
#include "main/dataset_replay/recorded_actions.h"
#include "main/dataset_replay/run_context.h"
#include "main/dataset_replay/sim_call.h"
#include "main/dataset_replay/sim_connection.h"
#include "main/dataset_replay/slots.h"

namespace velko::dataset_replay {

namespace json = boost::json;

namespace {

// Truth as the sim means it: false, null, zero and empty values are false.
bool truthy(const json::value& value) {
  switch (value.kind()) {
    case json::kind::null:
      return false;
    case json::kind::bool_:
      return value.get_bool();
    case json::kind::int64:
      return value.get_int64() != 0;
    case json::kind::uint64:
      return value.get_uint64() != 0;
    case json::kind::double_:
      return value.get_double() != 0;
    case json::kind::string:
      return !value.get_string().empty();
    case json::kind::array:
      return !value.get_array().empty();
    case json::kind::object:
      return !value.get_object().empty();
  }
  return false;
}

// What the report run says of an action mapping without a slot.
constexpr const char* kNoSlotAdvice =
    "its mapping has no slot path (its \"name\" is missing or empty); give the slot path of "
    "its variable as \"name\", or \" \" for a space that is one value (docs/spaces.md)";

void expect_parts(const std::vector<json::value>& parts, std::size_t n, const char* call,
                  const char* names) {
  if (parts.size() != n) {
    throw BadAnswer(std::string("the sim's ") + call + " answered " + std::to_string(parts.size()) +
                    " values instead of " + std::to_string(n) + " (" + names + ")");
  }
}

// Records the planned sensors of each observation into the episode's predictions.
struct Recorder {
  const Plan& plan;
  CoreLibrary& core;
  // For each sensor pair, the index of its column in `predictions`, and its reader (none for
  // a pair without a slot, which never reads a value).
  std::vector<std::size_t> targets;
  std::vector<std::optional<SlotReader>> readers;
  EpisodePredictions predictions;

  Recorder(const Plan& plan_in, CoreLibrary& core_in)
      : plan(plan_in), core(core_in), predictions(predicted_columns(plan_in)) {
    std::unordered_map<std::string_view, std::size_t> index;
    for (const std::string& column : predictions.columns()) index.emplace(column, index.size());
    for (const auto& [slot, column] : plan.sensors) {
      targets.push_back(index.at(column));
      readers.emplace_back();
      if (slot) readers.back().emplace(core, *slot);
    }
  }

  // Reads every planned sensor of one observation, which is made the compute side's view of
  // itself; true when every value could be read.
  bool record(json::value& observation) {
    // The compute side's view is the same for every read, so it is made once per
    // observation, in place: a large observation is not held twice.
    core.to_compute_view(observation);
    const json::value& seen = observation;
    bool complete = true;
    for (std::size_t i = 0; i < plan.sensors.size(); ++i) {
      std::optional<double> value = readers[i] ? readers[i]->read(seen) : std::nullopt;
      predictions.append(targets[i], value);
      complete = complete && value.has_value();
    }
    return complete;
  }
};

}  // namespace

std::vector<std::string> predicted_columns(const Plan& plan) {
  std::vector<std::string> columns;
  std::unordered_set<std::string_view> seen;
  for (const auto& pair : plan.sensors) {
    if (seen.insert(pair.second).second) columns.push_back(pair.second);
  }
  return columns;
}

awaitable<EpisodePredictions> rollout_episode(CoreLibrary& core, SimClient& client,
                                              const Plan& plan, const RecordedEpisode& episode,
                                              double call_timeout_s, int steps_ahead,
                                              StepBatching batching,
                                              std::optional<std::uint64_t> seed) {
  auto call = [&](auto operation, const char* name) {
    return sim_call(std::move(operation), name, call_timeout_s);
  };

  json::value space_info = co_await call(client.action_space_info(), "action_space_info()");
  json::value sample = core.to_compute_space(space_info)->sample();
  json::value template_action = core.as_compute_sees(sample);

  Recorder recorder(plan, core);
  ResetArgs reset_args;
  reset_args.seed = seed;
  const std::int64_t n_rows = episode.row_count();
  // A sim that takes resets in batches gets the reset with the episode's first steps; any
  // other a reset call first.
  std::unique_ptr<EpisodeSteps> steps;
  if (steps_ahead > 1) steps = client.episode_with_reset(batching, call_timeout_s, reset_args);
  bool reset_due = steps != nullptr;
  // Takes the reset's answer and records its observation.
  auto take_reset = [&](std::vector<json::value> reset) {
    expect_parts(reset, 2, "reset()", "observation, info");
    recorder.record(reset[0]);
    reset_due = false;
  };
  if (!reset_due) {
    take_reset(co_await call(client.reset(std::move(reset_args)), "reset()"));
  }
  if (n_rows <= 1) {
    if (reset_due) {
      take_reset(co_await steps->reset_answer());
      co_await steps->finish(false);
    }
    co_return std::move(recorder.predictions);
  }

  json::value action = core.as_compute_sees(template_action);
  // The recorded values of each planned action, looked up once.
  std::vector<std::string> ids;
  ids.reserve(plan.actions.size());
  for (const auto& pair : plan.actions) ids.push_back(pair.second);
  std::vector<ActionColumn> columns = episode.columns(ids);
  std::vector<std::optional<SlotWriter>> writers(plan.actions.size());
  for (std::size_t i = 0; i < plan.actions.size(); ++i) {
    if (plan.actions[i].first) writers[i].emplace(*plan.actions[i].first);
  }

  // Writes row `row`'s recorded actions into the replayed action.
  auto write_row = [&](std::int64_t row) {
    for (std::size_t i = 0; i < plan.actions.size(); ++i) {
      std::optional<double> value = columns[i].at(row);
      if (!value) continue;
      if (!writers[i]) {
        throw PublishReportError("Can't address the sim's action for column " +
                                 quoted(plan.actions[i].second) + ": " + kNoSlotAdvice);
      }
      writers[i]->write(action, *value);
    }
  };

  // Row i is the answer of step i. Steps go out ahead of their answers as far as the window
  // allows; a row whose action cannot be made fails the replay only once every earlier answer
  // has been taken and none ended the episode, as when steps go one at a time.
  // One at a time (a window of 0 or 1) holds for batches too.
  if (!steps && steps_ahead > 1) steps = client.episode_batches(batching, call_timeout_s);
  if (!steps) steps = client.episode_steps(steps_ahead, call_timeout_s);
  const std::int64_t window = std::max(1, steps->window());
  const std::int64_t last = n_rows - 1;
  std::int64_t sent = 0;
  std::int64_t answered = 0;
  std::exception_ptr unsendable;
  bool sim_ended = false;
  // The window is filled again once half of it has been answered, so that steps go out
  // together rather than one per answer.
  const std::int64_t refill_at = window / 2;
  while (answered < last) {
    if (sent - answered <= refill_at) {
      while (!unsendable && sent < last && sent - answered < window) {
        try {
          write_row(sent + 1);
          steps->send(action);
          ++sent;
        } catch (const std::exception&) {
          unsendable = std::current_exception();
        }
      }
      // The episode's last steps need not wait for a batch to fill.
      if (sent == last || unsendable) steps->send_now();
    }
    // The reset's answer comes before any step's, and its failure first.
    if (reset_due) take_reset(co_await steps->reset_answer());
    if (answered == sent && unsendable) std::rethrow_exception(unsendable);
    std::vector<json::value> step = co_await steps->next();
    ++answered;
    expect_parts(step, 5, "step()", "observation, reward, terminated, truncated, info");
    const bool readable = recorder.record(step[0]);
    if (truthy(step[2]) || truthy(step[3])) {
      sim_ended = true;
      break;
    }
    if (!readable) break;
  }
  co_await steps->finish(sim_ended);
  co_return std::move(recorder.predictions);
}

}  // namespace velko::dataset_replay
