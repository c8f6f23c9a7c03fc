// The sim connection's speed against a real sim process over loopback (velko-test-sim, one
// action and one sensor, beside this executable):
//   BM_StepRoundTrip  one step's round trip: bare synchronous gRPC clients sending a ready JSON
//                     text, by Step calls (bare_call_us) and over one StepStream
//                     (bare_stream_us), and our client, awaited on an io_context with the JSON
//                     written and parsed (ours_us), taking turns on the same sim
//   BM_ReplayEpisode  rollout_episode over 2,000 rows, one step at a time (/1) and up to 64
//                     sent ahead (/64); items_per_second = steps per second
// bench/replay_speed.cpp sets whole replays beside a bare stream and a TCP ping-pong.
//
// Run: build/bin/sim_step_bench --benchmark_min_time=2
#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/json.hpp>

#include "common/async.h"
#include "common/json_text.h"
#include "main/dataset_replay/plan.h"
#include "main/dataset_replay/rollout.h"
#include "proto/sim.grpc.pb.h"
#include "sim_connection/sim_client.h"
#include "sim_connection/sim_process.h"
#include "sim_connection/sim_serving.h"
#include "spaces/core_library_impl.h"
#include "tests/support/node_answers.h"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
using velko::awaitable;

// The sim of every benchmark: one process, looked after by an event loop of its own.
class BenchSim {
 public:
  BenchSim() : work_(asio::make_work_guard(io_)) {
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string program = (self.parent_path() / "velko-test-sim").string();
    port_ = velko::sim_connection::free_port();
    std::promise<void> started;
    asio::co_spawn(
        io_,
        [this, program]() -> awaitable<void> {
          process_ =
              co_await velko::sim_connection::start_sim(program, "localhost", port_, nullptr);
          co_await velko::sim_connection::SimModuleImpl().check_serving(address(), 30);
        },
        [&started](std::exception_ptr error) {
          if (error) {
            started.set_exception(error);
          } else {
            started.set_value();
          }
        });
    thread_ = std::thread([this] { io_.run(); });
    started.get_future().get();
  }

  ~BenchSim() {
    asio::post(io_, [this] {
      process_.reset();
      work_.reset();
    });
    thread_.join();
  }

  std::string address() const { return "localhost:" + std::to_string(port_); }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
  int port_ = 0;
  std::unique_ptr<velko::sim_connection::LocalSimProcess> process_;
};

BenchSim& sim() {
  static BenchSim instance;
  return instance;
}

velko::dataset_replay::ClientOptions options() {
  return {"bench", sim().address(), json::object()};
}

// Runs `body` on a fresh event loop on this thread and rethrows its failure.
void run(std::function<awaitable<void>()> body) {
  asio::io_context io;
  std::exception_ptr failure;
  asio::co_spawn(io, body(), [&failure](std::exception_ptr error) { failure = error; });
  io.run();
  if (failure) std::rethrow_exception(failure);
}

// Steps of each client per turn; the clients take turns so that all see the same machine.
constexpr int kTurn = 50;

// Takes turns of three clients on the same sim and reports the mean round trip of each:
// a bare synchronous client calling Step (bare_call_us), the same client stepping over one
// StepStream (bare_stream_us), and ours (ours_us), with our ratio to each.
void BM_StepRoundTrip(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  namespace pb = velko::sim::v1;
  auto channel = grpc::CreateChannel(sim().address(), grpc::InsecureChannelCredentials());
  auto stub = pb::Sim::NewStub(channel);
  pb::StepRequest request;
  request.set_action_json("[0.001]");
  grpc::ClientContext stream_context;
  auto stream = stub->StepStream(&stream_context);
  velko::sim_connection::GrpcSimClient client(options());
  const json::value action = json::parse("[0.001]");
  Clock::duration bare_call{};
  Clock::duration bare_stream{};
  Clock::duration ours{};
  std::int64_t turns = 0;
  run([&]() -> awaitable<void> {
    co_await client.init();
    co_await client.reset();
    for (auto _ : state) {
      const Clock::time_point start = Clock::now();
      for (int i = 0; i < kTurn; ++i) {
        grpc::ClientContext context;
        pb::JsonReply reply;
        grpc::Status status = stub->Step(&context, request, &reply);
        if (!status.ok()) throw std::runtime_error(status.error_message());
        benchmark::DoNotOptimize(reply);
      }
      const Clock::time_point called = Clock::now();
      for (int i = 0; i < kTurn; ++i) {
        pb::JsonReply reply;
        if (!stream->Write(request) || !stream->Read(&reply)) {
          throw std::runtime_error("the step stream broke");
        }
        benchmark::DoNotOptimize(reply);
      }
      const Clock::time_point streamed = Clock::now();
      for (int i = 0; i < kTurn; ++i) {
        std::vector<json::value> parts = co_await client.step(action);
        benchmark::DoNotOptimize(parts);
      }
      bare_call += called - start;
      bare_stream += streamed - called;
      ours += Clock::now() - streamed;
      ++turns;
    }
  });
  stream->WritesDone();
  stream->Finish();
  auto micros = [&](Clock::duration total) {
    return std::chrono::duration<double, std::micro>(total).count() /
           static_cast<double>(turns * kTurn);
  };
  state.counters["bare_call_us"] = micros(bare_call);
  state.counters["bare_stream_us"] = micros(bare_stream);
  state.counters["ours_us"] = micros(ours);
  state.counters["ours_per_bare_call"] = micros(ours) / micros(bare_call);
  state.counters["ours_per_bare_stream"] = micros(ours) / micros(bare_stream);
}
BENCHMARK(BM_StepRoundTrip)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ReplayEpisode(benchmark::State& state) {
  constexpr int kRows = 2000;
  velko::spaces::CoreLibraryImpl core;
  velko::dataset_replay::Plan plan{{{"[0]", "s_level"}}, {{"[0]", "a_valve"}}, {"level"}};
  json::array valve{nullptr};
  for (int row = 1; row < kRows; ++row) valve.emplace_back(0.0005 * (row % 7));
  json::value entry = json::object{
      {"episode", 0}, {"n_rows", kRows}, {"actions", json::object{{"a_valve", std::move(valve)}}}};
  velko::dataset_replay::RecordedActions actions =
      velko::testing::recorded(velko::testing::answer_of(entry));
  velko::dataset_replay::RecordedEpisode episode = actions.episode(0);
  velko::sim_connection::GrpcSimClient client(options());
  std::int64_t steps = 0;
  run([&]() -> awaitable<void> {
    co_await client.init();
    for (auto _ : state) {
      velko::dataset_replay::EpisodePredictions predictions =
          co_await velko::dataset_replay::rollout_episode(core, client, plan, episode, 30,
                                                          static_cast<int>(state.range(0)));
      steps += static_cast<std::int64_t>(predictions.size(0)) - 1;
    }
  });
  state.SetItemsProcessed(steps);
}
BENCHMARK(BM_ReplayEpisode)->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
