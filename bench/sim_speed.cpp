// How fast velko replays a real sim as a report run steps it, beside its peers, measured in
// turns within one run so that all see the same machine:
//   velko     EpisodeRollout (the report run's replay) over E episodes of R rows of recorded
//             actions, with velko's default steps ahead and batches, or the settings given
//   bare      (--bare) a synchronous gRPC client stepping the same sim one step at a time on
//             one StepStream, with a Reset per episode and the action texts ready
//   ceiling   (--python-ceiling FILE CLASS) the sim's env stepped by velko_sim's own session
//             code in a plain Python loop, no gRPC, with the same actions
//             (bench/python_ceiling.py)
// Every way makes the same steps: a first replay records the action texts that velko sends
// and where the sim ended each episode. For each way: steps per second (min and median of the
// rounds), the CPU per step of this process and of the sim (medians; the ceiling's own counts
// as the sim's), then the ratios within each round (median) and the load averages.
//
// Run: build/bin/sim_speed SIM [--episodes 200] [--rows 300] [--rounds 5] [--bare]
//                          [--python-ceiling SIM_FILE ENV_CLASS]
//                          [--steps-ahead N] [--step-batch N] [--batch-window N]
// SIM: a folder with velko-sim.json or an executable, started as velko starts it.
#include <grpcpp/grpcpp.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/json.hpp>

#include "bench/measure.h"
#include "bench/served_sim.h"
#include "common/async.h"
#include "common/json_text.h"
#include "main/dataset_replay/plan.h"
#include "main/dataset_replay/rollout.h"
#include "proto/sim.grpc.pb.h"
#include "sim_connection/sim_client.h"
#include "sim_connection/sim_process.h"
#include "sim_connection/sim_serving.h"
#include "sim_connection/steps_ahead.h"
#include "spaces/core_library_impl.h"
#include "tests/support/node_answers.h"

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace pb = velko::sim::v1;
namespace dr = velko::dataset_replay;
using velko::awaitable;
using Clock = std::chrono::steady_clock;

// One measurement of one way.
struct Sample {
  double steps_per_s = 0;
  double cpu_us_per_step = 0;
  double sim_cpu_us_per_step = 0;
};

// Runs `body`, which makes `steps` steps of the sim `sim_pid`, and measures it.
Sample measure(std::int64_t steps, pid_t sim_pid, const std::function<void()>& body) {
  const velko::bench::Usage before = velko::bench::usage();
  const double sim_before = velko::bench::process_cpu_s(sim_pid);
  const Clock::time_point start = Clock::now();
  body();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const velko::bench::Usage after = velko::bench::usage();
  const double n = static_cast<double>(steps);
  return {n / wall, (after.cpu_s - before.cpu_s) * 1e6 / n,
          (velko::bench::process_cpu_s(sim_pid) - sim_before) * 1e6 / n};
}

// Runs `body` to its end on a fresh event loop on this thread.
void run(const std::function<awaitable<void>()>& body) {
  asio::io_context io;
  std::exception_ptr failure;
  asio::co_spawn(io, body(), [&failure](std::exception_ptr error) { failure = error; });
  io.run();
  if (failure) std::rethrow_exception(failure);
}

// The action texts that the replay sent, per episode, cut to the steps that the sim answered.
using SentActions = std::vector<std::vector<std::string>>;

// The steps of an episode as the client gives them, noting each action's text and how many
// steps were answered.
class RecordingSteps : public dr::EpisodeSteps {
 public:
  RecordingSteps(std::unique_ptr<dr::EpisodeSteps> steps, std::vector<std::string>& sent)
      : steps_(std::move(steps)), sent_(sent) {}
  int window() const override { return steps_->window(); }
  void send(const json::value& action) override {
    sent_.push_back(velko::json_text::to_json(action));
    steps_->send(action);
  }
  awaitable<std::vector<json::value>> next() override {
    std::vector<json::value> answer = co_await steps_->next();
    ++answered_;
    co_return answer;
  }
  awaitable<void> finish(bool sim_ended) override {
    co_await steps_->finish(sim_ended);
    sent_.resize(answered_);
  }

 private:
  std::unique_ptr<dr::EpisodeSteps> steps_;
  std::vector<std::string>& sent_;
  std::size_t answered_ = 0;
};

// A client that passes every call to `client` and records the actions of the episodes'
// steps into a new entry of `sent` per episode.
class RecordingClient : public dr::SimClient {
 public:
  RecordingClient(dr::SimClient& client, SentActions& sent) : client_(client), sent_(sent) {}
  awaitable<void> init() override { return client_.init(); }
  awaitable<void> make() override { return client_.make(); }
  awaitable<void> close() override { return client_.close(); }
  awaitable<json::value> get_mappings() override { return client_.get_mappings(); }
  awaitable<json::value> sensor_space_info() override { return client_.sensor_space_info(); }
  awaitable<json::value> action_space_info() override { return client_.action_space_info(); }
  awaitable<std::vector<json::value>> reset(dr::ResetArgs args) override {
    sent_.emplace_back();
    return client_.reset(std::move(args));
  }
  awaitable<std::vector<json::value>> step(json::value action) override {
    return client_.step(std::move(action));
  }
  std::unique_ptr<dr::EpisodeSteps> episode_steps(int window, double call_timeout_s) override {
    return recording(client_.episode_steps(window, call_timeout_s));
  }
  bool takes_steps_ahead() const override { return client_.takes_steps_ahead(); }
  awaitable<void> end_steps() override { return client_.end_steps(); }
  void bound_observations(std::size_t variables) override { client_.bound_observations(variables); }
  bool takes_batches() const override { return client_.takes_batches(); }
  std::unique_ptr<dr::EpisodeSteps> episode_batches(dr::StepBatching batching,
                                                    double call_timeout_s) override {
    return recording(client_.episode_batches(batching, call_timeout_s));
  }

 private:
  std::unique_ptr<dr::EpisodeSteps> recording(std::unique_ptr<dr::EpisodeSteps> steps) {
    if (!steps) return nullptr;
    return std::make_unique<RecordingSteps>(std::move(steps), sent_.back());
  }

  dr::SimClient& client_;
  SentActions& sent_;
};

// How velko replays: its steps-ahead window and batches.
struct ReplayWay {
  int steps_ahead = velko::sim_connection::DEFAULT_STEPS_AHEAD;
  dr::StepBatching batching;
};

// Replays every episode of `actions` through `client` as `way` says; yields the steps made.
std::int64_t replay(dr::CoreLibrary& core, dr::SimClient& client, const dr::Plan& plan,
                    const dr::RecordedActions& actions, const ReplayWay& way) {
  std::int64_t steps = 0;
  // As a report run's process replays its episodes: each one's reset and first steps go out
  // behind the last steps of the one before.
  run([&]() -> awaitable<void> {
    std::size_t taken = 0;
    auto take = [&] {
      return taken == actions.episode_count()
                 ? nullptr
                 : std::make_unique<dr::EpisodeRollout>(
                       core, client, plan, actions.episode(taken++), 30, way.steps_ahead,
                       way.batching, std::nullopt);
    };
    std::unique_ptr<dr::EpisodeRollout> upcoming = take();
    while (upcoming) {
      const std::unique_ptr<dr::EpisodeRollout> rollout = std::move(upcoming);
      dr::EpisodePredictions predictions = co_await rollout->run([&]() -> awaitable<void> {
        if ((upcoming = take())) co_await upcoming->start();
      });
      if (upcoming && rollout->cut_short()) {
        upcoming.reset();
        --taken;
      }
      if (!upcoming) upcoming = take();
      steps += static_cast<std::int64_t>(predictions.size(0)) - 1;
    }
    co_await client.end_steps();
  });
  return steps;
}

// The replay's plan from the sim's mappings: every sensor and action, the column of the
// i-th named "s_i" and "a_i".
dr::Plan plan_of(const json::value& mappings) {
  dr::Plan plan;
  auto slots = [&mappings](const char* space) {
    std::vector<std::optional<std::string>> out;
    for (const json::value& mapping : mappings.at(space).at("mappings").as_array()) {
      out.push_back(dr::mapping_field(mapping, "name"));
    }
    return out;
  };
  int i = 0;
  for (auto& slot : slots("sensor_space")) {
    plan.sensors.emplace_back(slot, "s_" + std::to_string(i));
    plan.core.push_back("s_" + std::to_string(i++));
  }
  i = 0;
  for (auto& slot : slots("action_space"))
    plan.actions.emplace_back(slot, "a_" + std::to_string(i++));
  return plan;
}

// `episodes` recorded episodes of `rows` rows for the plan's actions: each action 0 or 1, in
// runs of three rows (within the bounds of every benchmark sim's actions).
dr::RecordedActions episodes_of(const dr::Plan& plan, int episodes, int rows) {
  json::array entries;
  for (int e = 0; e < episodes; ++e) {
    json::object columns;
    for (std::size_t a = 0; a < plan.actions.size(); ++a) {
      json::array values{nullptr};
      for (int row = 1; row < rows; ++row) {
        values.emplace_back(static_cast<double>((row / 3 + e + static_cast<int>(a)) % 2));
      }
      columns[plan.actions[a].second] = std::move(values);
    }
    entries.emplace_back(
        json::object{{"episode", e}, {"n_rows", rows}, {"actions", std::move(columns)}});
  }
  json::value answer = velko::testing::answer_of(nullptr);
  answer.as_object()["episodes"] = std::move(entries);
  return velko::testing::recorded(answer, static_cast<std::size_t>(episodes));
}

// Steps the sim at `stub` one step at a time on one stream: a Reset, then the episode's
// actions, for each episode of `sent`.
void bare_stream(pb::Sim::Stub& stub, const SentActions& sent) {
  grpc::ClientContext context;
  auto stream = stub.StepStream(&context);
  pb::StepRequest request;
  pb::JsonReply reply;
  for (const std::vector<std::string>& episode : sent) {
    grpc::ClientContext reset_context;
    pb::JsonReply reset_reply;
    if (!stub.Reset(&reset_context, pb::ResetRequest(), &reset_reply).ok()) {
      throw std::runtime_error("the bare client's reset failed");
    }
    for (const std::string& action : episode) {
      request.set_action_json(action);
      if (!stream->Write(request) || !stream->Read(&reply)) {
        throw std::runtime_error("the bare stream broke");
      }
    }
  }
  stream->WritesDone();
  while (stream->Read(&reply)) {
  }
  if (!stream->Finish().ok()) throw std::runtime_error("the bare stream failed");
}

// Runs the Python ceiling over the actions in `actions_file`: its steps per second and CPU per
// step (as the sim's, the ceiling being the sim).
Sample python_ceiling(const std::string& sim_file, const std::string& env_class,
                      const std::string& actions_file, std::int64_t steps) {
  const std::string command = "PYTHONPATH='" VELKO_PYTHON_DIR "' /usr/bin/python3 '" VELKO_BENCH_DIR
                              "/python_ceiling.py' '" +
                              sim_file + "' '" + env_class + "' '" + actions_file + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  long long made = 0;
  double seconds = 0;
  double cpu_seconds = 0;
  const int read = std::fscanf(pipe, "%lld %lf %lf", &made, &seconds, &cpu_seconds);
  if (::pclose(pipe) != 0 || read != 3 || made != steps || seconds <= 0) {
    throw std::runtime_error("the Python ceiling failed: " + command);
  }
  Sample sample;
  sample.steps_per_s = static_cast<double>(made) / seconds;
  sample.sim_cpu_us_per_step = cpu_seconds * 1e6 / static_cast<double>(made);
  return sample;
}

// The value after option `name`, else `fallback`.
const char* option(int argc, char** argv, const char* name, const char* fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  }
  return fallback;
}

bool flag(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') {
    std::fprintf(stderr,
                 "usage: sim_speed SIM [--episodes 200] [--rows 300] [--rounds 5] [--bare] "
                 "[--python-ceiling SIM_FILE ENV_CLASS] [--steps-ahead N] [--step-batch N] "
                 "[--batch-window N]\n");
    return 2;
  }
  const std::string sim = argv[1];
  const int episodes = std::max(1, std::atoi(option(argc, argv, "--episodes", "200")));
  const int rows = std::max(2, std::atoi(option(argc, argv, "--rows", "300")));
  const int rounds = std::max(1, std::atoi(option(argc, argv, "--rounds", "5")));
  const bool bare = flag(argc, argv, "--bare");
  std::string ceiling_file, ceiling_class;
  for (int i = 1; i + 2 < argc; ++i) {
    if (std::strcmp(argv[i], "--python-ceiling") == 0) {
      ceiling_file = std::filesystem::absolute(argv[i + 1]).string();
      ceiling_class = argv[i + 2];
    }
  }
  ReplayWay way;
  way.steps_ahead = std::atoi(option(argc, argv, "--steps-ahead", "64"));
  way.batching.steps =
      std::atoi(option(argc, argv, "--step-batch", std::to_string(dr::DEFAULT_STEP_BATCH).c_str()));
  way.batching.window = std::atoi(
      option(argc, argv, "--batch-window", std::to_string(dr::DEFAULT_BATCH_WINDOW).c_str()));
  const std::string load_before = velko::bench::load_average();

  int status = 0;
  try {
    // The sim, started and watched by an event loop of its own.
    const velko::bench::ServedSim served(
        sim, [](const std::string& line) { std::fprintf(stderr, "sim: %s\n", line.c_str()); });
    const std::string& address = served.address();
    const pid_t sim_pid = served.pid();

    velko::spaces::CoreLibraryImpl core;
    velko::sim_connection::GrpcSimClient client({"bench", address, {}});
    json::value mappings;
    run([&]() -> awaitable<void> {
      co_await client.init();
      co_await client.make();
      mappings = co_await client.get_mappings();
    });
    const dr::Plan plan = plan_of(mappings);
    const dr::RecordedActions actions = episodes_of(plan, episodes, rows);

    // The first replay records what every way then sends.
    SentActions sent;
    RecordingClient recording(client, sent);
    const std::int64_t steps = replay(core, recording, plan, actions, way);
    const std::string actions_file = (std::filesystem::temp_directory_path() /
                                      ("sim_speed_actions." + std::to_string(::getpid()) + ".json"))
                                         .string();
    {
      json::array texts;
      for (const auto& episode : sent)
        texts.emplace_back(json::array(episode.begin(), episode.end()));
      std::ofstream(actions_file) << velko::json_text::to_json(texts);
    }
    // Removes the actions file however the measurement ends.
    struct RemovedAtEnd {
      const std::string& path;
      ~RemovedAtEnd() { std::filesystem::remove(path); }
    } removed_at_end{actions_file};
    std::printf(
        "sim_speed: %s, %d episodes of up to %d rows (%lld steps as the sim ended "
        "them), %d rounds; velko %d ahead, batches of %d, %d in flight (the sim %s); "
        "load average %s\n",
        sim.c_str(), episodes, rows, static_cast<long long>(steps), rounds, way.steps_ahead,
        way.batching.steps, way.batching.window,
        client.takes_batches()       ? "takes batches"
        : client.takes_steps_ahead() ? "takes steps sent ahead"
                                     : "steps one at a time",
        load_before.c_str());

    auto channel = grpc::CreateChannel(address, grpc::InsecureChannelCredentials());
    auto stub = pb::Sim::NewStub(channel);
    std::vector<std::string> ways = {"velko"};
    if (bare) ways.push_back("bare grpc stream");
    if (!ceiling_file.empty()) ways.push_back("python ceiling");
    std::map<std::string, std::vector<Sample>> samples;
    for (int round = 0; round < rounds; ++round) {
      std::int64_t made = 0;
      samples["velko"].push_back(
          measure(steps, sim_pid, [&] { made = replay(core, client, plan, actions, way); }));
      if (made != steps) throw std::runtime_error("the replay made another number of steps");
      if (bare) {
        samples["bare grpc stream"].push_back(
            measure(steps, sim_pid, [&] { bare_stream(*stub, sent); }));
      }
      if (!ceiling_file.empty()) {
        samples["python ceiling"].push_back(
            python_ceiling(ceiling_file, ceiling_class, actions_file, steps));
      }
    }

    std::printf("%-18s %12s %12s %14s %14s\n", "way", "min step/s", "median", "cpu us/step",
                "sim us/step");
    for (const std::string& name : ways) {
      std::vector<double> rates, cpu, sim_cpu;
      for (const Sample& s : samples[name]) {
        rates.push_back(s.steps_per_s);
        cpu.push_back(s.cpu_us_per_step);
        sim_cpu.push_back(s.sim_cpu_us_per_step);
      }
      std::printf("%-18s %12.0f %12.0f %14.1f %14.1f\n", name.c_str(), velko::bench::minimum(rates),
                  velko::bench::median(rates), velko::bench::median(cpu),
                  velko::bench::median(sim_cpu));
    }
    for (std::size_t w = 1; w < ways.size(); ++w) {
      std::vector<double> ratios;
      for (int r = 0; r < rounds; ++r) {
        ratios.push_back(samples["velko"][static_cast<std::size_t>(r)].steps_per_s /
                         samples[ways[w]][static_cast<std::size_t>(r)].steps_per_s);
      }
      std::printf("velko / %s: %.2f (median of the rounds; min %.2f)\n", ways[w].c_str(),
                  velko::bench::median(ratios), velko::bench::minimum(ratios));
    }
    std::printf("load average at the end %s\n", velko::bench::load_average().c_str());
    run([&]() -> awaitable<void> { co_await client.close(); });
  } catch (const std::exception& error) {
    std::fprintf(stderr, "sim_speed: %s\n", error.what());
    status = 1;
  }
  return status;
}
