#include "main/dataset_replay/analysis.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
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

// One process of the sim in a run: how it was started, its client, and what it was doing.
struct SimWorker {
  SimOutput output;
  std::unique_ptr<SimProcess> process;
  // Where it serves: "localhost:PORT".
  std::string address;
  std::unique_ptr<SimClient> client;
  // Its answer to get_mappings (or what its spaces give).
  json::value mappings;
  // What the sim was doing, for the message of its failure.
  const char* stage = "replaying the dataset";
};

// The processes to replay `episodes` episodes over when `asked` are asked for (0: one a
// core): at least one, so that a run of no episodes still starts and plans, and no more than
// there are episodes.
std::size_t sim_processes(int asked, std::size_t episodes) {
  const std::size_t wanted = asked > 0 ? static_cast<std::size_t>(asked)
                                       : std::max(1u, std::thread::hardware_concurrency());
  return std::max<std::size_t>(1, std::min(wanted, episodes));
}

// What starting and setting up a process of the sim needs, the same for each.
struct SimSetUp {
  const ReportRun& run;
  const std::string& path;
  const json::object& env_init;
  double call_timeout_s;
};

// Starts a process of the sim on `port`, connects to it and sets it up: init, make, its
// mappings and the bound of its observations. Set-up calls are bounded like every other call:
// a sim that hangs in one of them must not hold the run (and its claim) for ever.
awaitable<void> start_and_set_up(const SimSetUp& set_up, int port, SimWorker& worker) {
  const ReportRun& run = set_up.run;
  const SimStarter starter{run.sims, run.host_sim, run.console, run.logger,
                           run.timings.serve_timeout_s};
  worker.address = co_await start_sim(starter, set_up.path, port, worker.process, worker.output);
  worker.client = connect_sim(run.sims, worker.address, set_up.env_init, kReportRunId,
                              run.timings.max_answer_bytes);
  co_await sim_call(worker.client->init(), "init()", set_up.call_timeout_s);
  worker.stage = "making the environment";
  co_await sim_call(worker.client->make(), "make()", set_up.call_timeout_s);
  worker.stage = "replaying the dataset";
  worker.mappings = co_await sim_mappings(run, *worker.client, set_up.call_timeout_s);
  co_await bound_observations(run, *worker.client, set_up.call_timeout_s);
}

// The episodes of a replay as its processes take them, in order, and their predictions, added
// to the run's in the plan's episode order whichever process completes first.
struct EpisodeQueue {
  const RecordedActions& columns;
  const Plan& plan;
  RunPredictions& rollouts;
  Console::Status& line;
  std::size_t processes;
  // The next episode to take.
  std::size_t next = 0;
  // Rows reached by every episode replayed so far.
  std::size_t rows_reached = 0;
  // Episodes added to `rollouts`: those before the first one still replayed.
  std::size_t added = 0;
  // Completed episodes that wait for an earlier one, by index.
  std::map<std::size_t, std::pair<json::value, EpisodePredictions>> waiting = {};

  // Records the predictions of episode `index` and adds what now follows in order.
  void complete(std::size_t index, json::value id, EpisodePredictions predictions) {
    waiting.emplace(index, std::make_pair(std::move(id), std::move(predictions)));
    for (auto first = waiting.begin(); first != waiting.end() && first->first == added;
         first = waiting.begin()) {
      rollouts.add(first->second.first, first->second.second);
      waiting.erase(first);
      ++added;
    }
  }
};

// Replays episodes through one process of the sim, taking the next of the queue until none is
// left, then ends its steps. Once every step of an episode has been sent, the next episode's
// reset and first steps follow them, so that the sim is not left idle between episodes.
awaitable<void> replay_episodes(const ReportRun& run, SimWorker& worker, EpisodeQueue& queue,
                                double call_timeout_s, StepBatching batching,
                                std::uint64_t run_seed) {
  const std::size_t entries = queue.columns.episode_count();
  const std::string through =
      queue.processes == 1 ? "the sim" : std::to_string(queue.processes) + " processes of the sim";
  // The episode to replay next and its index, started already when `started`.
  std::unique_ptr<EpisodeRollout> upcoming;
  std::size_t upcoming_k = 0;
  auto make_upcoming = [&] {
    const RecordedEpisode episode = queue.columns.episode(upcoming_k);
    upcoming = std::make_unique<EpisodeRollout>(run.core, *worker.client, queue.plan, episode,
                                                call_timeout_s, run.sims.steps_ahead(), batching,
                                                episode_seed(run_seed, episode.id()));
  };
  auto take_next = [&]() -> bool {
    if (queue.next >= entries) return false;
    upcoming_k = queue.next++;
    make_upcoming();
    return true;
  };
  while (upcoming || take_next()) {
    const std::unique_ptr<EpisodeRollout> rollout = std::move(upcoming);
    const std::size_t k = upcoming_k;
    const RecordedEpisode episode = queue.columns.episode(k);
    json::value id = episode.id();
    json::value rows = episode.n_rows();
    queue.line.update("Replaying episode " + as_text(id) + " (" + std::to_string(k + 1) + " of " +
                      std::to_string(entries) + ", " + as_text(rows) + " rows) through " + through +
                      "...");
    auto start_next = [&]() -> awaitable<void> {
      if (take_next()) co_await upcoming->start();
    };
    EpisodePredictions predictions = co_await rollout->run(start_next);
    // A next episode sent behind steps that were cancelled starts again.
    if (upcoming && rollout->cut_short()) {
      upcoming.reset();
      make_upcoming();
    }
    queue.rows_reached += rows_in(predictions, queue.plan);
    queue.complete(k, std::move(id), std::move(predictions));
  }
  // An answer that no step asked for fails the run, however late it is seen.
  co_await sim_call(worker.client->end_steps(), "step()", call_timeout_s);
}

// Lets the process's env go. A close that fails after a complete replay is ignored; an
// interrupt is not.
awaitable<void> close_client(SimWorker& worker, double call_timeout_s) {
  std::exception_ptr close_failure;
  try {
    co_await sim_call(worker.client->close(), "close()", call_timeout_s);
  } catch (const std::exception&) {
    close_failure = std::current_exception();
  }
  if (close_failure && is_interrupt(close_failure)) std::rethrow_exception(close_failure);
}

// What is done with each process of the sim.
using WorkerBody = std::function<awaitable<void>(SimWorker& worker, std::size_t index)>;

// Does `body` with one process, noting it in `failed` when it is the first to fail.
awaitable<void> noting_failure(const WorkerBody& body, SimWorker& worker, std::size_t index,
                               std::optional<std::size_t>& failed) {
  try {
    co_await body(worker, index);
  } catch (...) {
    if (!failed) failed = index;
    throw;
  }
}

// Does `body` with every process side by side (run_all): the first failure stops the others.
awaitable<void> on_every_worker(std::vector<SimWorker>& workers, std::optional<std::size_t>& failed,
                                WorkerBody body) {
  std::function<awaitable<void>(std::size_t)> each = [&](std::size_t i) {
    return noting_failure(body, workers[i], i, failed);
  };
  co_await run_all(workers.size(), std::move(each));
}

}  // namespace

awaitable<json::value> analyze(const ReportRun& run, std::string path, json::value claim,
                               LocalDataset dataset, std::string bundle_sha256,
                               ReplayOptions options) {
  SimConnection& sim = run.sims;
  const Timings& timing = run.timings;
  const ComputeNode node = compute_node(run.datasets);
  const double call_timeout_s = options.call_timeout_s;

  std::optional<std::int64_t> count;
  if (dataset.cycles) count = dataset.cycles->count;
  if (!count || *count == 0) {
    throw PublishReportError("The episode count of '" + dataset.name +
                             "' is unknown; run `velko data stats " + dataset.name + "` first");
  }
  std::vector<std::int64_t> episodes = pick_episodes(*count, options.max_episodes);
  // Held in compact form for the whole replay; faults found in it later are the node's.
  const RecordedActions columns =
      co_await fetch_actions(node, dataset.id, std::move(episodes), timing.actions_timeout_s);

  std::vector<SimWorker> workers(sim_processes(options.sims, columns.episode_count()));
  // A port that cannot be had fails the run as it is, before anything starts. Each process
  // gets a port of its own: a sim that shares its port would take the others' connections.
  std::vector<int> ports;
  for (int tries = 0; ports.size() < workers.size(); ++tries) {
    const int port = sim.get_free_port();
    if (std::find(ports.begin(), ports.end(), port) == ports.end() || tries >= 100) {
      ports.push_back(port);
    }
  }
  // The process whose failure ends the run: the first to fail.
  std::optional<std::size_t> failed;
  std::optional<Plan> plan;
  // Every episode's predictions, compact, until they are sent.
  std::optional<RunPredictions> rollouts;

  std::exception_ptr failure;
  try {
    const SimSetUp set_up{run, path, options.env_init, call_timeout_s};
    WorkerBody start = [&](SimWorker& worker, std::size_t i) {
      return start_and_set_up(set_up, ports[i], worker);
    };
    co_await on_every_worker(workers, failed, std::move(start));
    plan = plan_analysis(workers.front().mappings, columns.columns());
    for (std::size_t i = 1; i < workers.size(); ++i) {
      if (workers[i].mappings != workers.front().mappings) {
        throw PublishReportError(
            "The sim's processes gave different mappings (process 1 and process " +
            std::to_string(i + 1) +
            "): a sim run in several processes must describe itself alike in each; run it "
            "with --sims 1");
      }
    }
    rollouts.emplace(predicted_columns(*plan));

    {
      auto line = run.console.status("Replaying the dataset through the sim...");
      EpisodeQueue queue{columns, *plan, *rollouts, line, workers.size()};
      const StepBatching batching = timing.batching;
      auto started = std::chrono::steady_clock::now();
      const double cpu_started = process_cpu_seconds();
      WorkerBody replay = [&](SimWorker& worker, std::size_t) {
        return replay_episodes(run, worker, queue, call_timeout_s, batching, options.run_seed);
      };
      co_await on_every_worker(workers, failed, std::move(replay));
      std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
      const std::size_t entries = columns.episode_count();
      const std::size_t sim_steps = queue.rows_reached - std::min(queue.rows_reached, entries);
      const double cpu_us = (process_cpu_seconds() - cpu_started) * 1e6;
      run.logger.debug(
          "Replayed {} episodes ({} rows, {} sim steps) in {:.3f} s with {} sim process{}, "
          "{:.0f} steps/s, {:.1f} us of CPU a step",
          entries, queue.rows_reached, sim_steps, took.count(), workers.size(),
          workers.size() == 1 ? "" : "es",
          static_cast<double>(sim_steps) / std::max(took.count(), 1e-9),
          cpu_us / static_cast<double>(std::max<std::size_t>(sim_steps, 1)));
    }

    WorkerBody close = [&](SimWorker& worker, std::size_t) {
      return close_client(worker, call_timeout_s);
    };
    co_await on_every_worker(workers, failed, std::move(close));
  } catch (...) {
    failure = as_interrupt_if_cancelled(std::current_exception());
  }

  if (failure && !is_interrupt(failure) && !holds_error<PublishReportError>(failure)) {
    // The message tells of the process that failed first.
    SimWorker& worker = workers[failed.value_or(0)];
    const char* stage = worker.stage;
    constexpr std::string_view kValidate = "; validate it with `velko sim validate --steps 100`";
    std::string message = std::string("The sim failed while ") + stage + " (" + type_name(failure) +
                          ": " + error_text(failure) + ")" + std::string(kValidate);
    // A sim that ended while it was called is told by its end and its last lines, not by the
    // connection it dropped; one that ran out of time was still there.
    std::optional<int> code;
    if (worker.process && !is_timeout(failure)) {
      code = co_await ended_status(*worker.process, timing.sim_end_settle_s);
    }
    if (code) {
      run.logger.debug("The sim ended as its call failed: {}", error_text(failure));
      const std::string end = co_await run.host_sim.describe_end(worker.address, *code);
      const std::string tail = run.host_sim.output_tail(worker.output.joined());
      message = "The sim " + end + " while " + stage + std::string(kValidate) +
                (tail.empty() ? "" : "\n\n" + tail);
    }
    try {
      raise_with_cause(failure, PublishReportError(message));
    } catch (...) {
      failure = std::current_exception();
    }
  }

  // Every process is stopped on every way out, an interrupt included; side by side, so that
  // one that ignores its terminate holds the others up no longer than itself.
  co_await boost::asio::this_coro::reset_cancellation_state();
  std::vector<SimProcess*> started;
  for (SimWorker& worker : workers) {
    if (worker.process) started.push_back(worker.process.get());
  }
  std::function<awaitable<void>(std::size_t)> stop = [&](std::size_t i) {
    return stop_sim(*started[i], timing.terminate_grace_s);
  };
  co_await run_all(started.size(), std::move(stop));
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
