// The replay stage of a report run, each beside its peer:
// - the CPU cost of one replay step (8 action slots written, 16 sensor slots read, every
//   conversion included) with a fake sim that answers at once, beside a bare time-limited
//   call of the same fake (the step's floor); sim_step_bench measures what one loopback gRPC
//   round trip adds to a real step (100-170 us on this machine);
// - writing the "sim-analyze-rollouts" body of 20 episodes x 50,000 rows x 16 sensor
//   columns, from JSON values as it was and from the compact predictions as it is now (twice:
//   once for its size, once as it is sent), beside copying the same number of bytes.
// Reading the "analysis-actions" answer is measured by actions_answer_bench.
//
// Run: build/bin/replay_bench (targets: <= 5 us per step, >= 300 MB/s)
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>

#include "common/async.h"
#include "common/json_text.h"
#include "main/dataset_replay/plan.h"
#include "main/dataset_replay/predictions.h"
#include "main/dataset_replay/rollout.h"
#include "main/dataset_replay/rollouts_body.h"
#include "sim_connection/steps_ahead.h"
#include "spaces/core_library_impl.h"
#include "tests/support/fake_sim.h"
#include "tests/support/node_answers.h"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using velko::awaitable;
using velko::dataset_replay::Plan;

constexpr int kActionSlots = 8;
constexpr int kSensorSlots = 16;

// `prefix` followed by the number, as in "c3" or "[3]" with `suffix` "]".
std::string numbered(std::string prefix, std::int64_t n, std::string_view suffix = "") {
  prefix += std::to_string(n);
  prefix += suffix;
  return prefix;
}

// Runs a coroutine to its end on `io`.
template <class Fn>
void run_on(asio::io_context& io, Fn fn) {
  std::exception_ptr failure;
  asio::co_spawn(io, fn(), [&](std::exception_ptr e) { failure = e; });
  io.restart();
  io.run();
  if (failure) std::rethrow_exception(failure);
}

// --- One replay step ---

// A sim whose actions are 8 bounded floats and whose observation is 16 floats.
struct ReplaySetup {
  std::shared_ptr<velko::spaces::CoreLibraryImpl> core =
      std::make_shared<velko::spaces::CoreLibraryImpl>();
  velko::testing::FakeSimClient client;
  Plan plan;
  velko::dataset_replay::RecordedActions actions;
  json::value observation;

  explicit ReplaySetup(std::int64_t rows) {
    client.record = false;
    client.action_space = json::parse(R"({"type": "box", "shape": [8], "low": -1, "high": 1})");
    json::array values;
    for (int i = 0; i < kSensorSlots; ++i) values.emplace_back(0.30000001192092896 * i);
    observation = values;
    client.observe = [this](const json::value&, int) { return observation; };
    json::object actions;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(-1, 1);
    for (int a = 0; a < kActionSlots; ++a) {
      std::string column = numbered("a", a);
      plan.actions.emplace_back(numbered("[", a, "]"), column);
      json::array recorded;
      recorded.reserve(static_cast<std::size_t>(rows));
      for (std::int64_t r = 0; r < rows; ++r) recorded.emplace_back(uniform(random));
      actions[column] = std::move(recorded);
    }
    for (int s = 0; s < kSensorSlots; ++s) {
      std::string column = numbered("c", s);
      plan.sensors.emplace_back(numbered("[", s, "]"), column);
      plan.core.push_back(numbered("sensor ", s));
    }
    this->actions = velko::testing::recorded(velko::testing::answer_of(
        json::object{{"episode", 0}, {"n_rows", rows}, {"actions", std::move(actions)}}));
  }
};

void BM_ReplayStep(benchmark::State& state) {
  constexpr std::int64_t kRows = 2000;
  ReplaySetup setup(kRows);
  asio::io_context io;
  std::int64_t steps = 0;
  for (auto _ : state) {
    run_on(io, [&]() -> awaitable<void> {
      const velko::dataset_replay::RecordedEpisode episode = setup.actions.episode(0);
      velko::dataset_replay::EpisodePredictions predictions =
          co_await velko::dataset_replay::rollout_episode(
              *setup.core, setup.client, setup.plan, episode, 60,
              velko::sim_connection::DEFAULT_STEPS_AHEAD);
      benchmark::DoNotOptimize(predictions);
    });
    steps += kRows - 1;
  }
  if (setup.client.steps != kRows - 1) state.SkipWithError("the episode did not run through");
  state.counters["us_per_step"] = benchmark::Counter(
      static_cast<double>(steps) * 1e-6, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["target_us"] = 5;
}
BENCHMARK(BM_ReplayStep)->Unit(benchmark::kMillisecond);

// Peer: the floor of a step, one time-limited call of a fake sim that answers at once.
void BM_TimeLimitedCallAlone(benchmark::State& state) {
  velko::testing::FakeSimClient client;
  client.record = false;
  asio::io_context io;
  constexpr int kCalls = 2000;
  for (auto _ : state) {
    run_on(io, [&]() -> awaitable<void> {
      for (int i = 0; i < kCalls; ++i) {
        auto answer = co_await velko::with_timeout(client.step(nullptr), 60, "slow");
        benchmark::DoNotOptimize(answer);
      }
    });
  }
  state.counters["us_per_call"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kCalls * 1e-6,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TimeLimitedCallAlone)->Unit(benchmark::kMillisecond);

// --- The rollouts body ---

constexpr int kEpisodes = 20;
constexpr int kRows = 50000;

// The "sim-analyze-rollouts" body for the same episodes with 16 sensor columns.
const json::value& rollouts_body() {
  static const json::value body = [] {
    std::mt19937 random(13);
    std::uniform_real_distribution<float> uniform(-100, 100);
    json::object out;
    out["dataset_uuid"] = "3f1c2a4e-9b7d-4c21-8e55-0d6f7a8b9c10";
    out["simulator_id"] = "sim-1";
    out["simulator_implementation_id"] = "impl-1";
    out["validation_run_id"] = "run-1";
    out["bundle_content_hash"] = std::string(64, 'a');
    json::array core, sensors;
    for (int s = 0; s < kSensorSlots; ++s) {
      core.emplace_back(numbered("Sensor ", s));
      sensors.emplace_back(numbered("c", s));
    }
    out["core_sensor_variables"] = core;
    out["sensor_variables"] = sensors;
    out["action_variables"] = json::array{"a0", "a1", "a2", "a3", "a4", "a5", "a6", "a7"};
    out["max_lag_steps"] = 2;
    json::array episodes;
    for (int e = 0; e < kEpisodes; ++e) {
      json::object predictions;
      for (int s = 0; s < kSensorSlots; ++s) {
        json::array values;
        values.reserve(kRows);
        for (int r = 0; r < kRows; ++r) {
          if (random() % 256 == 0) {
            values.emplace_back(nullptr);
          } else {
            values.emplace_back(static_cast<double>(uniform(random)));
          }
        }
        predictions[numbered("c", s)] = std::move(values);
      }
      episodes.emplace_back(json::object{{"episode", e * 5}, {"predictions", predictions}});
    }
    out["episodes"] = std::move(episodes);
    return json::value(std::move(out));
  }();
  return body;
}

void BM_WriteRolloutsBody(benchmark::State& state) {
  const json::value& body = rollouts_body();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = velko::json_text::to_json(body);
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["body_MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["target_MB_per_s"] = 300;
}
BENCHMARK(BM_WriteRolloutsBody)->Unit(benchmark::kMillisecond)->MinTime(2);

// The same body as a report run sends it now: from the compact predictions, written once to
// learn its size and again, a piece at a time, as libcurl reads it (64 KiB reads).
void BM_SizeAndStreamRolloutsBody(benchmark::State& state) {
  namespace dr = velko::dataset_replay;
  const json::object& body = rollouts_body().as_object();
  json::object head = body;
  head.erase("episodes");
  std::vector<std::string> columns;
  for (const auto& column : body.at("sensor_variables").as_array()) {
    columns.emplace_back(column.as_string());
  }
  auto predictions = std::make_shared<dr::RunPredictions>(columns);
  for (const auto& episode : body.at("episodes").as_array()) {
    dr::EpisodePredictions values(columns);
    const json::object& by_column = episode.at("predictions").as_object();
    for (std::size_t c = 0; c < columns.size(); ++c) {
      for (const auto& value : by_column.at(columns[c]).as_array()) {
        values.append(c, value.is_null() ? std::nullopt : std::optional<double>(value.as_double()));
      }
    }
    predictions->add(episode.at("episode"), values);
  }
  std::string buffer(64 << 10, '\0');
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    dr::RolloutsBody sent(head, predictions);
    velko::http::BodyPieces pieces = sent.pieces();
    while (pieces(buffer.data(), buffer.size()) > 0) {
    }
    bytes = sent.size();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["body_MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["kept_MB"] = static_cast<double>(predictions->memory_bytes()) / 1e6;
}
BENCHMARK(BM_SizeAndStreamRolloutsBody)->Unit(benchmark::kMillisecond)->MinTime(2);

// Peer: copying a text of the body's size.
void BM_CopyBodySizedText(benchmark::State& state) {
  std::string source = velko::json_text::to_json(rollouts_body());
  for (auto _ : state) {
    std::string copy = source;
    benchmark::DoNotOptimize(copy);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_CopyBodySizedText)->Unit(benchmark::kMillisecond);

}  // namespace
