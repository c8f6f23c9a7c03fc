#include "main/dataset_replay/rollout.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

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

// What an episode's replay holds from its start to its last answer.
struct EpisodeRollout::State {
  CoreLibrary& core;
  SimClient& client;
  const Plan& plan;
  RecordedEpisode episode;
  double call_timeout_s;
  int steps_ahead;
  StepBatching batching;
  std::optional<std::uint64_t> seed;

  // Set by prepare().
  bool prepared = false;
  json::value template_action;
  std::optional<Recorder> recorder;
  std::int64_t n_rows = 0;
  // Set by prepare_rows(), for an episode of more than one row.
  bool rows_ready = false;
  json::value action;
  std::vector<ActionColumn> columns;
  std::vector<std::optional<SlotWriter>> writers;
  // The steps, and how far they went. Row i is the answer of step i.
  std::unique_ptr<EpisodeSteps> steps;
  bool reset_due = false;
  // The steps carry the reset, on the stream that the client keeps from episode to episode.
  bool with_reset = false;
  std::int64_t window = 1;
  std::int64_t last = 0;
  std::int64_t sent = 0;
  std::int64_t answered = 0;
  std::exception_ptr unsendable;
  // The replay stopped the episode with steps still unanswered.
  bool cut_short = false;

  State(CoreLibrary& core_in, SimClient& client_in, const Plan& plan_in, RecordedEpisode episode_in,
        double call_timeout_s_in, int steps_ahead_in, StepBatching batching_in,
        std::optional<std::uint64_t> seed_in)
      : core(core_in),
        client(client_in),
        plan(plan_in),
        episode(episode_in),
        call_timeout_s(call_timeout_s_in),
        steps_ahead(steps_ahead_in),
        batching(batching_in),
        seed(seed_in) {}

  // The action space and the episode's length.
  awaitable<void> prepare() {
    json::value space_info =
        co_await sim_call(client.action_space_info(), "action_space_info()", call_timeout_s);
    json::value sample = core.to_compute_space(space_info)->sample();
    template_action = core.as_compute_sees(sample);
    recorder.emplace(plan, core);
    n_rows = episode.row_count();
    prepared = true;
  }

  // The recorded columns of the planned actions, looked up once, and the action they fill.
  void prepare_rows() {
    if (rows_ready) return;
    action = core.as_compute_sees(template_action);
    std::vector<std::string> ids;
    ids.reserve(plan.actions.size());
    for (const auto& pair : plan.actions) ids.push_back(pair.second);
    columns = episode.columns(ids);
    writers.assign(plan.actions.size(), std::nullopt);
    for (std::size_t i = 0; i < plan.actions.size(); ++i) {
      if (plan.actions[i].first) writers[i].emplace(*plan.actions[i].first);
    }
    rows_ready = true;
  }

  // The steps of a sim that takes resets in batches, with the reset in the first batch; none
  // for another sim, or when steps go one at a time.
  void steps_with_reset() {
    if (steps_ahead > 1) {
      ResetArgs reset_args;
      reset_args.seed = seed;
      steps = client.episode_with_reset(batching, call_timeout_s, std::move(reset_args));
    }
    reset_due = with_reset = steps != nullptr;
    if (steps) set_window();
  }

  void set_window() {
    window = std::max(1, steps->window());
    last = n_rows - 1;
  }

  // Writes row `row`'s recorded actions into the replayed action.
  void write_row(std::int64_t row) {
    for (std::size_t i = 0; i < plan.actions.size(); ++i) {
      std::optional<double> value = columns[i].at(row);
      if (!value) continue;
      if (!writers[i]) {
        throw PublishReportError("Can't address the sim's action for column " +
                                 quoted(plan.actions[i].second) + ": " + kNoSlotAdvice);
      }
      writers[i]->write(action, *value);
    }
  }

  // Sends steps as far as the window allows. A row whose action cannot be made fails the
  // replay only once every earlier answer has been taken and none ended the episode, as when
  // steps go one at a time.
  void send_more() {
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

  // Takes the reset's answer and records its observation.
  void take_reset(std::vector<json::value> reset) {
    expect_parts(reset, 2, "reset()", "observation, info");
    recorder->record(reset[0]);
    reset_due = false;
  }
};

EpisodeRollout::EpisodeRollout(CoreLibrary& core, SimClient& client, const Plan& plan,
                               RecordedEpisode episode, double call_timeout_s, int steps_ahead,
                               StepBatching batching, std::optional<std::uint64_t> seed)
    : state_(std::make_unique<State>(core, client, plan, episode, call_timeout_s, steps_ahead,
                                     batching, seed)) {}

EpisodeRollout::~EpisodeRollout() = default;

awaitable<void> EpisodeRollout::start() {
  State& s = *state_;
  if (s.steps_ahead <= 1 || !s.client.takes_episodes_ahead()) co_return;
  co_await s.prepare();
  if (s.n_rows > 1) {
    // An episode whose recorded actions cannot be read is not started: its replay raises the
    // fault when it comes to it.
    try {
      s.prepare_rows();
    } catch (const std::exception&) {
      co_return;
    }
  }
  s.steps_with_reset();
  if (!s.steps) co_return;
  if (s.n_rows > 1) s.send_more();
  s.steps->send_now();
}

awaitable<EpisodePredictions> EpisodeRollout::run(std::function<awaitable<void>()> sent_all) {
  State& s = *state_;
  if (!s.prepared) co_await s.prepare();
  // A sim that takes resets in batches gets the reset with the episode's first steps; any
  // other a reset call first.
  if (!s.steps) s.steps_with_reset();
  if (!s.reset_due && !s.with_reset) {
    ResetArgs reset_args;
    reset_args.seed = s.seed;
    s.take_reset(
        co_await sim_call(s.client.reset(std::move(reset_args)), "reset()", s.call_timeout_s));
  }
  if (s.n_rows <= 1) {
    if (s.reset_due) {
      s.take_reset(co_await s.steps->reset_answer());
      co_await s.steps->finish(false);
    }
    co_return std::move(s.recorder->predictions);
  }

  s.prepare_rows();
  // One at a time (a window of 0 or 1) holds for batches too.
  if (!s.steps && s.steps_ahead > 1)
    s.steps = s.client.episode_batches(s.batching, s.call_timeout_s);
  if (!s.steps) s.steps = s.client.episode_steps(s.steps_ahead, s.call_timeout_s);
  if (!s.with_reset) s.set_window();
  bool sim_ended = false;
  // The window is filled again once half of it has been answered, so that steps go out
  // together rather than one per answer.
  const std::int64_t refill_at = s.window / 2;
  while (s.answered < s.last) {
    if (s.sent - s.answered <= refill_at) s.send_more();
    // Once every step is out, the next episode may send its reset and first steps behind them.
    if (sent_all && s.with_reset && s.sent == s.last && !s.unsendable) {
      const std::function<awaitable<void>()> start_next = std::move(sent_all);
      sent_all = nullptr;
      co_await start_next();
    }
    // The reset's answer comes before any step's, and its failure first.
    if (s.reset_due) s.take_reset(co_await s.steps->reset_answer());
    if (s.answered == s.sent && s.unsendable) std::rethrow_exception(s.unsendable);
    std::vector<json::value> step = co_await s.steps->next();
    ++s.answered;
    expect_parts(step, 5, "step()", "observation, reward, terminated, truncated, info");
    const bool readable = s.recorder->record(step[0]);
    if (truthy(step[2]) || truthy(step[3])) {
      sim_ended = true;
      break;
    }
    if (!readable) {
      s.cut_short = s.answered < s.sent;
      break;
    }
  }
  co_await s.steps->finish(sim_ended);
  co_return std::move(s.recorder->predictions);
}

bool EpisodeRollout::cut_short() const { return state_->cut_short; }

awaitable<EpisodePredictions> rollout_episode(CoreLibrary& core, SimClient& client,
                                              const Plan& plan, const RecordedEpisode& episode,
                                              double call_timeout_s, int steps_ahead,
                                              StepBatching batching,
                                              std::optional<std::uint64_t> seed) {
  EpisodeRollout rollout(core, client, plan, episode, call_timeout_s, steps_ahead, batching, seed);
  co_return co_await rollout.run();
}

}  // namespace velko::dataset_replay
