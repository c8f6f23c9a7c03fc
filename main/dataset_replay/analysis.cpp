#include "main/dataset_replay/analysis.h"

#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include <spdlog/logger.h>
#include <boost/asio/this_coro.hpp>
#include <boost/json/array.hpp>

#include "common/console.h"
#include "common/errors.h"
#include "common/json_access.h"
#include "common/literal.h"
#include "main/dataset_replay/episode_seed.h"
#include "main/dataset_replay/host_sim_module.h"
#include "main/dataset_replay/node_requests.h"
#include "main/dataset_replay/observation_bound.h"
#include "main/dataset_replay/plan.h"
#include "main/dataset_replay/predictions.h"
#include "main/dataset_replay/recorded_actions.h"
#include "main/dataset_replay/report_run.h"
#include "main/dataset_replay/rollout.h"
#include "main/dataset_replay/rollouts_body.h"
#include "main/dataset_replay/run_context.h"
#include "main/dataset_replay/sim_call.h"
#include "main/dataset_replay/sim_connection.h"
#include "main/dataset_replay/sim_start.h"

namespace velko::dataset_replay {

namespace json = boost::json;

namespace {

// The identifiers that the sim client is given.
constexpr const char* kReportRunId = "publish-report";

// Raises `error` with `cause` attached.
[[noreturn]] void raise_with_cause(const std::exception_ptr& cause,
                                   const PublishReportError& error) {
  try {
    std::rethrow_exception(cause);
  } catch (...) {
    std::throw_with_nested(error);
  }
}

// Fetches the recorded actions of the episodes on a worker thread and awaits them.
awaitable<RecordedActions> fetch_actions(ComputeNode node, std::string dataset_id,
                                         std::vector<std::int64_t> episodes, double timeout) {
  // A named function, not a temporary inside the co_await: GCC 12 destroys a closure or an
  // aggregate made inside a co_await expression twice.
  std::function<RecordedActions(std::stop_token)> work =
      [node = std::move(node), dataset_id = std::move(dataset_id), episodes = std::move(episodes),
       timeout](std::stop_token stop) mutable {
        return fetch_recorded_actions(node, dataset_id, std::move(episodes), timeout, stop);
      };
  co_return co_await run_on_worker<RecordedActions>(std::move(work));
}

json::array texts(const std::vector<std::string>& values) {
  json::array out;
  out.reserve(values.size());
  for (const auto& value : values) out.emplace_back(value);
  return out;
}

json::array columns_of(const std::vector<SlotColumn>& pairs) {
  json::array out;
  out.reserve(pairs.size());
  for (const auto& pair : pairs) out.emplace_back(pair.second);
  return out;
}

// The number of rows an episode's replay reached: the values of its first sensor column, of
// which each row adds one per sensor pair on that column.
std::size_t rows_in(const EpisodePredictions& predictions, const Plan& plan) {
  if (plan.sensors.empty() || predictions.columns().empty()) return 0;
  const std::string& column = plan.sensors.front().second;
  std::size_t pairs = 0;
  for (const auto& pair : plan.sensors) pairs += pair.second == column;
  return predictions.size(0) / pairs;
}

// CPU seconds that this process has used so far, all its threads together (not the sim's).
double process_cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

awaitable<json::value> analyze(const ReportRun& run, std::string path, json::value claim,
                               LocalDataset dataset, std::string bundle_sha256, int max_episodes,
                               json::object env_init, double call_timeout_s,
                               std::uint64_t run_seed) {
  SimConnection& sim = run.sims;
  const Timings& timing = run.timings;
  const ComputeNode node = compute_node(run.datasets);

  std::optional<std::int64_t> count;
  if (dataset.cycles) count = dataset.cycles->count;
  if (!count || *count == 0) {
    throw PublishReportError("The episode count of '" + dataset.name +
                             "' is unknown; run `velko data stats " + dataset.name + "` first");
  }
  std::vector<std::int64_t> episodes = pick_episodes(*count, max_episodes);
  // Held in compact form for the whole replay; faults found in it later are the node's.
  const RecordedActions columns =
      co_await fetch_actions(node, dataset.id, std::move(episodes), timing.actions_timeout_s);

  SimOutput output;
  // A port that cannot be had fails the run as it is, before anything starts.
  const int port = sim.get_free_port();
  std::unique_ptr<SimProcess> process;
  std::optional<Plan> plan;
  // Every episode's predictions, compact, until they are sent.
  std::optional<RunPredictions> rollouts;

  std::string address;
  std::exception_ptr failure;
  // What the sim was doing, for the message of its failure.
  const char* stage = "replaying the dataset";
  try {
    const SimStarter starter{sim, run.host_sim, run.console, run.logger, timing.serve_timeout_s};
    address = co_await start_sim(starter, path, port, process, output);
    std::unique_ptr<SimClient> client =
        connect_sim(sim, address, env_init, kReportRunId, timing.max_answer_bytes);
    // Set-up calls are bounded like every other call: a sim that hangs in one of them must
    // not hold the run (and its claim) for ever.
    co_await sim_call(client->init(), "init()", call_timeout_s);
    stage = "making the environment";
    co_await sim_call(client->make(), "make()", call_timeout_s);
    stage = "replaying the dataset";
    plan = plan_analysis(co_await sim_mappings(run, *client, call_timeout_s), columns.columns());
    co_await bound_observations(run, *client, call_timeout_s);
    rollouts.emplace(predicted_columns(*plan));

    {
      auto line = run.console.status("Replaying the dataset through the sim...");
      const std::size_t entries = columns.episode_count();
      auto started = std::chrono::steady_clock::now();
      const double cpu_started = process_cpu_seconds();
      std::size_t rows_reached = 0;
      for (std::size_t k = 1; k <= entries; ++k) {
        const RecordedEpisode episode = columns.episode(k - 1);
        json::value id = episode.id();
        json::value rows = episode.n_rows();
        line.update("Replaying episode " + as_text(id) + " (" + std::to_string(k) + " of " +
                    std::to_string(entries) + ", " + as_text(rows) + " rows) through the sim...");
        EpisodePredictions predictions = co_await rollout_episode(
            run.core, *client, *plan, episode, call_timeout_s, sim.steps_ahead(), timing.batching,
            episode_seed(run_seed, id));
        rows_reached += rows_in(predictions, *plan);
        rollouts->add(id, predictions);
      }
      // An answer that no step asked for fails the run, however late it is seen.
      co_await sim_call(client->end_steps(), "step()", call_timeout_s);
      std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
      const std::size_t sim_steps = rows_reached - std::min(rows_reached, entries);
      const double cpu_us = (process_cpu_seconds() - cpu_started) * 1e6;
      run.logger.debug(
          "Replayed {} episodes ({} rows, {} sim steps) in {:.3f} s, {:.1f} us of "
          "CPU a step",
          entries, rows_reached, sim_steps, took.count(),
          cpu_us / static_cast<double>(std::max<std::size_t>(sim_steps, 1)));
    }

    std::exception_ptr close_failure;
    try {
      co_await sim_call(client->close(), "close()", call_timeout_s);
    } catch (const std::exception&) {
      close_failure = std::current_exception();
    }
    if (close_failure && is_interrupt(close_failure)) std::rethrow_exception(close_failure);
  } catch (...) {
    failure = as_interrupt_if_cancelled(std::current_exception());
  }

  if (failure && !is_interrupt(failure) && !holds_error<PublishReportError>(failure)) {
    constexpr std::string_view kValidate = "; validate it with `velko sim validate --steps 100`";
    std::string message = std::string("The sim failed while ") + stage + " (" + type_name(failure) +
                          ": " + error_text(failure) + ")" + std::string(kValidate);
    // A sim that ended while it was called is told by its end and its last lines, not by the
    // connection it dropped; one that ran out of time was still there.
    std::optional<int> code;
    if (process && !is_timeout(failure)) {
      code = co_await ended_status(*process, timing.sim_end_settle_s);
    }
    if (code) {
      run.logger.debug("The sim ended as its call failed: {}", error_text(failure));
      const std::string end = co_await run.host_sim.describe_end(address, *code);
      const std::string tail = run.host_sim.output_tail(output.joined());
      message = "The sim " + end + " while " + stage + std::string(kValidate) +
                (tail.empty() ? "" : "\n\n" + tail);
    }
    try {
      raise_with_cause(failure, PublishReportError(message));
    } catch (...) {
      failure = std::current_exception();
    }
  }

  if (process) {
    // The sim is stopped on every way out, an interrupt included.
    co_await boost::asio::this_coro::reset_cancellation_state();
    co_await stop_sim(*process, timing.terminate_grace_s);
  }
  if (failure) std::rethrow_exception(failure);

  json::object head;
  constexpr std::string_view kClaim = "the platform's claim";
  head["dataset_uuid"] = dataset.id;
  head["simulator_id"] = json_access::at(claim, "simulatorId", kClaim);
  head["simulator_implementation_id"] = json_access::at(claim, "simulatorImplementationId", kClaim);
  head["validation_run_id"] = json_access::at(claim, "validationRunId", kClaim);
  head["bundle_content_hash"] = bundle_sha256;
  head["core_sensor_variables"] = texts(plan->core);
  head["sensor_variables"] = columns_of(plan->sensors);
  head["action_variables"] = columns_of(plan->actions);
  head["max_lag_steps"] = json_access::at(claim, "maxLagSteps", kClaim);
  // The body is written once here, whole and within its bound, before any of it is sent.
  const std::size_t replayed = rollouts->episode_count();
  const std::size_t kept = rollouts->memory_bytes();
  auto sizing = std::chrono::steady_clock::now();
  const RolloutsBody body(head, std::make_shared<const RunPredictions>(std::move(*rollouts)));
  rollouts.reset();
  auto posted = std::chrono::steady_clock::now();
  run.logger.debug(
      "The predictions of {} episodes ({} bytes kept) make a request of {} bytes, "
      "sized in {:.3f} s",
      replayed, kept, body.size(), std::chrono::duration<double>(posted - sizing).count());

  auto line = run.console.status("Analyzing the sim against the dataset on the compute node...");
  // Named, not made inside the co_await: GCC 12 destroys an aggregate made there twice.
  http::BodySource source = body.source();
  json::value analysis = co_await node_post(node, "sim-analyze-rollouts", std::move(source),
                                            timing.rollouts_timeout_s);
  run.logger.debug(
      "The compute node answered the analysis in {:.3f} s",
      std::chrono::duration<double>(std::chrono::steady_clock::now() - posted).count());
  co_return analysis;
}

}  // namespace velko::dataset_replay
