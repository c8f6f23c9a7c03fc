// How fast velko's replay steps a real sim process over gRPC, beside its peers, measured in
// turns within one run so that all see the same machine:
//   tcp ping-pong      64 bytes each way between this process and a child, over loopback
//   bare grpc stream   a synchronous gRPC client on one StepStream, one step at a time, sending
//                      a ready JSON text
//   velko one at a time / velko 64 ahead
//                      rollout_episode (the report run's replay: actions written, answers
//                      parsed, sensors read) over one long episode, steps one at a time and
//                      up to 64 sent ahead
//   ... 20x308         the same over 20 episodes of 308 rows, a reset and a stream each (the
//                      demo's shape)
// The sim is velko-test-sim (one action, one sensor), which takes steps sent ahead. For each
// way: steps per second (min and median of the rounds) and this process's CPU per step and
// context switches per step (getrusage, all threads), and the CPU per step of the peer process
// (the sim, or the TCP peer), medians.
//
// On an idle machine every wake-up of a process that waits for its peer costs more (here, a
// ping-pong step took 28 us of CPU idle and 9 us beside a busy loop): --busy keeps a busy loop
// of the lowest priority running during the measurement, as on a machine doing other work.
//
// Run: build/bin/replay_speed [--rounds 5] [--steps 5000] [--busy]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
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
namespace pb = velko::sim::v1;
namespace dr = velko::dataset_replay;
using velko::awaitable;
using Clock = std::chrono::steady_clock;
using velko::bench::load_average;
using velko::bench::median;
using velko::bench::process_cpu_s;
using velko::bench::usage;
using velko::bench::Usage;

constexpr std::size_t kPingBytes = 64;

// One measurement: steps made, wall time, CPU time and context switches.
struct Sample {
  double steps_per_s = 0;
  double cpu_us_per_step = 0;
  double switches_per_step = 0;
  double sim_cpu_us_per_step = 0;
};

// The sim process (or TCP peer) whose CPU time is measured beside ours.
pid_t g_peer_pid = 0;

Sample measure(std::int64_t steps, const std::function<void()>& body) {
  const Usage before = usage();
  const double peer_before = process_cpu_s(g_peer_pid);
  const Clock::time_point start = Clock::now();
  body();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const Usage after = usage();
  const double peer_after = process_cpu_s(g_peer_pid);
  const double n = static_cast<double>(steps);
  return {n / wall, (after.cpu_s - before.cpu_s) * 1e6 / n,
          static_cast<double>(after.switches - before.switches) / n,
          (peer_after - peer_before) * 1e6 / n};
}

// --- The TCP peer: a child process that echoes what it reads ---

struct EchoPeer {
  pid_t pid = -1;
  int port = 0;
};

// Forks the echo peer; called before gRPC starts any thread. The child makes system calls
// only.
EchoPeer start_echo_peer() {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener, 4) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen for the TCP peer");
  }
  EchoPeer peer;
  peer.port = ntohs(address.sin_port);
  peer.pid = ::fork();
  if (peer.pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    char buffer[kPingBytes];
    while (true) {
      int fd = ::accept(listener, nullptr, nullptr);
      if (fd < 0) continue;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      while (true) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0 || ::write(fd, buffer, static_cast<std::size_t>(got)) != got) break;
      }
      ::close(fd);
    }
  }
  ::close(listener);
  return peer;
}

void tcp_ping_pong(int port, std::int64_t n) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot reach the TCP peer");
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char buffer[kPingBytes] = {};
  for (std::int64_t i = 0; i < n; ++i) {
    std::size_t got = 0;
    if (::write(fd, buffer, sizeof buffer) != static_cast<ssize_t>(sizeof buffer)) break;
    while (got < sizeof buffer) {
      ssize_t part = ::read(fd, buffer + got, sizeof buffer - got);
      if (part <= 0) throw std::runtime_error("the TCP peer went away");
      got += static_cast<std::size_t>(part);
    }
  }
  ::close(fd);
}

// Forks a child that spins at the lowest priority until this process ends; called before
// gRPC starts any thread.
pid_t start_busy_loop() {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::nice(19) == -1) {
    }
    while (true) asm volatile("");
  }
  return pid;
}

// --- The sim ---

// Runs `body` to its end on a fresh event loop on this thread.
void run(const std::function<awaitable<void>()>& body) {
  asio::io_context io;
  std::exception_ptr failure;
  asio::co_spawn(io, body(), [&failure](std::exception_ptr error) { failure = error; });
  io.run();
  if (failure) std::rethrow_exception(failure);
}

// The recorded actions of `episodes` episodes of `rows` rows each for the test sim's valve.
dr::RecordedActions episodes_of(int episodes, int rows) {
  json::array entries;
  for (int e = 0; e < episodes; ++e) {
    json::array valve{nullptr};
    for (int row = 1; row < rows; ++row) valve.emplace_back(0.0005 * (row % 7));
    entries.emplace_back(json::object{{"episode", e},
                                      {"n_rows", rows},
                                      {"actions", json::object{{"a_valve", std::move(valve)}}}});
  }
  json::value answer = velko::testing::answer_of(nullptr);
  answer.as_object()["episodes"] = std::move(entries);
  return velko::testing::recorded(answer, static_cast<std::size_t>(episodes));
}

// Replays every episode of `actions` through the sim with up to `steps_ahead` steps sent
// ahead; yields the steps made.
std::int64_t replay(dr::CoreLibrary& core, velko::sim_connection::GrpcSimClient& client,
                    const dr::RecordedActions& actions, int steps_ahead) {
  static const dr::Plan plan{{{"[0]", "s_level"}}, {{"[0]", "a_valve"}}, {"level"}};
  std::int64_t steps = 0;
  run([&]() -> awaitable<void> {
    for (std::size_t e = 0; e < actions.episode_count(); ++e) {
      const dr::RecordedEpisode episode = actions.episode(e);
      dr::EpisodePredictions predictions =
          co_await dr::rollout_episode(core, client, plan, episode, 30, steps_ahead);
      steps += static_cast<std::int64_t>(predictions.size(0)) - 1;
    }
  });
  return steps;
}

int option(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = std::max(1, option(argc, argv, "--rounds", 5));
  const int steps = std::max(100, option(argc, argv, "--steps", 5000));
  const EchoPeer peer = start_echo_peer();
  bool busy = false;
  for (int i = 1; i < argc; ++i) busy = busy || std::strcmp(argv[i], "--busy") == 0;
  const pid_t busy_loop = busy ? start_busy_loop() : -1;

  // The sim, started and watched by an event loop of its own.
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string program = (self.parent_path() / "velko-test-sim").string();
  const velko::bench::ServedSim served(program);
  const std::string& address = served.address();

  velko::spaces::CoreLibraryImpl core;
  const dr::RecordedActions long_episode = episodes_of(1, steps + 1);
  const dr::RecordedActions demo = episodes_of(20, 308);
  velko::sim_connection::GrpcSimClient client({"bench", address, {}});
  run([&]() -> awaitable<void> { co_await client.init(); });
  if (!client.takes_steps_ahead()) throw std::runtime_error("the test sim takes no steps ahead");

  auto channel = grpc::CreateChannel(address, grpc::InsecureChannelCredentials());
  auto stub = pb::Sim::NewStub(channel);

  const std::vector<std::string> ways = {
      "tcp ping-pong",  "bare grpc stream",           "velko one at a time",
      "velko 64 ahead", "velko one at a time 20x308", "velko 64 ahead 20x308"};
  std::map<std::string, std::vector<Sample>> samples;
  std::printf("replay_speed: %d rounds of %d steps (%d for 20x308) each way%s; load average %s\n",
              rounds, steps, 20 * 307, busy ? ", beside a busy loop" : "", load_average().c_str());
  const pid_t sim_pid = served.pid();
  for (int round = 0; round < rounds; ++round) {
    g_peer_pid = peer.pid;
    samples["tcp ping-pong"].push_back(measure(steps, [&] { tcp_ping_pong(peer.port, steps); }));
    g_peer_pid = sim_pid;
    {
      grpc::ClientContext context;
      auto stream = stub->StepStream(&context);
      pb::StepRequest request;
      request.set_action_json("[0.0005]");
      pb::JsonReply reply;
      samples["bare grpc stream"].push_back(measure(steps, [&] {
        for (int i = 0; i < steps; ++i) {
          if (!stream->Write(request) || !stream->Read(&reply)) {
            throw std::runtime_error("the bare stream broke");
          }
        }
      }));
      stream->WritesDone();
      stream->Finish();
    }
    std::int64_t made = 0;
    Sample sample = measure(steps, [&] { made = replay(core, client, long_episode, 1); });
    samples["velko one at a time"].push_back(sample);
    sample = measure(steps, [&] { made = replay(core, client, long_episode, 64); });
    samples["velko 64 ahead"].push_back(sample);
    sample = measure(20 * 307, [&] { made = replay(core, client, demo, 1); });
    samples["velko one at a time 20x308"].push_back(sample);
    sample = measure(20 * 307, [&] { made = replay(core, client, demo, 64); });
    samples["velko 64 ahead 20x308"].push_back(sample);
    if (made != 20 * 307) throw std::runtime_error("the replay did not run through");
  }

  std::printf("%-28s %12s %12s %14s %12s %14s\n", "way", "min step/s", "median", "cpu us/step",
              "cs/step", "peer us/step");
  std::map<std::string, double> medians;
  for (const std::string& way : ways) {
    std::vector<double> rates, cpu, switches, peer_cpu;
    for (const Sample& s : samples[way]) {
      rates.push_back(s.steps_per_s);
      cpu.push_back(s.cpu_us_per_step);
      switches.push_back(s.switches_per_step);
      peer_cpu.push_back(s.sim_cpu_us_per_step);
    }
    medians[way] = median(rates);
    std::printf("%-28s %12.0f %12.0f %14.1f %12.2f %14.1f\n", way.c_str(),
                *std::min_element(rates.begin(), rates.end()), medians[way], median(cpu),
                median(switches), median(peer_cpu));
  }
  // Ratios within each round, then their median.
  auto ratio = [&](const std::string& a, const std::string& b) {
    std::vector<double> out;
    for (int r = 0; r < rounds; ++r) {
      out.push_back(samples[a][static_cast<std::size_t>(r)].steps_per_s /
                    samples[b][static_cast<std::size_t>(r)].steps_per_s);
    }
    return median(out);
  };
  std::printf("velko one at a time / bare grpc stream: %.2f (target >= 0.9)\n",
              ratio("velko one at a time", "bare grpc stream"));
  std::printf("velko 64 ahead / velko one at a time:   %.2f (target >= 4)\n",
              ratio("velko 64 ahead", "velko one at a time"));
  std::printf("20x308: 64 ahead / one at a time:        %.2f\n",
              ratio("velko 64 ahead 20x308", "velko one at a time 20x308"));
  std::printf("load average at the end %s\n", load_average().c_str());

  run([&]() -> awaitable<void> { co_await client.close(); });
  for (pid_t child : {peer.pid, busy_loop}) {
    if (child <= 0) continue;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  return 0;
}
