// velko-test-sim: a sim with one sensor ("level") and one action ("valve") that misbehaves on
// request, for the tests and benchmarks of the sim connection.
//
//   velko-test-sim [--fault KIND [N]]... [--end-at N]
//                  [--batches N [--batch-resets [--episodes-ahead]]] --host H --port P
//
// Faults: crash-at-step N, hang-in-step N, error-in-step N, fail-before-serve, ignore-sigterm,
// spawn-child, malformed-json, four-parts, deep-json, never-serve, long-line, no-stream,
// one-at-a-time, answer-twice (every answer on the step stream is written twice); the faults a
// sim author's validation finds: fail-make, bad-mappings (a sensor
// slot beyond its space, an action mapping without a slot path), bad-space (a sensor space
// without a shape), reset-outside (an observation below the space's bound after Reset),
// outside-at-step N (one after step N), null-at-step N (a level without a value, null, after
// step N), text-reward, fail-close; and, for a sim that takes
// steps sent ahead, steps-after-end (it goes on applying and answering after the answer that
// ended the episode), out-of-order N (its answer to step N carries the number of the next
// step), differs-ahead (numbered steps, sent ahead, answer another level than the same steps
// one at a time) and stall-after-end (it neither answers nor ends the stream after the answer that
// ended the episode); and big-observation N, whose observation after a step holds
// round(valve x N) zeros instead of the level (a 20 MB answer for N = 20,000,000 and a valve of
// 0.5), for the bounds of large answers; no-sensor-space fails SensorSpaceInfo, as a sim that
// does not offer it. crash-or-hang S, for runs over several processes: after a reset seeded S
// its next step crashes the sim; after any other reset its steps hang.
// spawn-child, one-at-a-time and no-sensor-space go with any other fault.
// Without a fault it is a well-behaved sim whose level is the sum of the valve openings it was
// given, and that takes steps sent ahead; one-at-a-time makes it a sim written before those.
// --end-at N: the answer to the Nth step of each episode says terminated.
// A reset with a seed prints "reset seed N OPTIONS" (the options' JSON text, or "-").
// --batches N: it also takes batches of at most N steps (StepBatches), answering each batch in
// one message, with the faults of steps sent ahead (steps-after-end, out-of-order N,
// differs-ahead, stall-after-end). --batch-resets: it also takes each episode's reset in its
// first batch, on a stream kept across episodes, with the same faults. --episodes-ahead: it
// announces that it takes such a batch while the last episode's answers are still to come.
#include <arpa/inet.h>
#include <grpcpp/grpcpp.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include <boost/json.hpp>

#include "common/json_text.h"
#include "proto/sim.grpc.pb.h"

namespace {

namespace json = boost::json;
namespace pb = velko::sim::v1;

struct Options {
  std::string fault;
  long n = 1;
  // `--fault spawn-child` beside another fault: the sim also starts a child.
  bool spawn_child = false;
  // `--fault one-at-a-time`: a sim written before steps sent ahead, which does not announce them.
  bool one_at_a_time = false;
  // `--fault no-sensor-space`: SensorSpaceInfo fails.
  bool no_sensor_space = false;
  // The step of each episode whose answer says terminated; 0 for none.
  long end_at = 0;
  // The most steps in one batch that it announces; 0 for none.
  long batches = 0;
  // It announces that it takes resets in batches.
  bool batch_resets = false;
  // It announces that it takes an episode's reset before the last one's answers are all out.
  bool episodes_ahead = false;
  std::string host = "localhost";
  int port = 0;
};

const char* kSensorSpace =
    R"({"type": "box", "shape": [1], "dtype": "float64", "low": [0], "high": [1e9],
        "names": ["level"]})";
const char* kActionSpace =
    R"({"type": "box", "shape": [1], "dtype": "float64", "low": [0], "high": [1],
        "names": ["valve"]})";
const char* kMappings =
    R"({"sensor_space": {"mappings": [{"name": "[0]", "name_mapped": "level"}]},
        "action_space": {"mappings": [{"name": "[0]", "name_mapped": "valve"}]}})";
const char* kBadMappings =
    R"({"sensor_space": {"mappings": [{"name": "[3]", "name_mapped": "level"}]},
        "action_space": {"mappings": [{"name_mapped": "valve"}]}})";

class FaultSim final : public pb::Sim::Service {
 public:
  explicit FaultSim(const Options& options) : options_(options) {}

  grpc::Status Ping(grpc::ServerContext*, const pb::PingRequest*, pb::PingReply*) override {
    return grpc::Status::OK;
  }
  grpc::Status Init(grpc::ServerContext*, const pb::InitRequest*, pb::InitReply* reply) override {
    const std::string& fault = options_.fault;
    reply->set_steps_ahead(!options_.one_at_a_time && fault != "no-stream");
    reply->set_batch_steps(static_cast<std::uint32_t>(options_.batches));
    reply->set_batch_resets(options_.batch_resets);
    reply->set_episodes_ahead(options_.episodes_ahead);
    return grpc::Status::OK;
  }
  grpc::Status Make(grpc::ServerContext*, const pb::MakeRequest* request, pb::MakeReply*) override {
    std::lock_guard lock(mutex_);
    // Shows what the sim was given, for the tests that check it.
    std::printf("make %s %s %s %s\n", request->run_id().c_str(), request->sim_id().c_str(),
                request->env_id().c_str(), request->env_init_json().c_str());
    if (options_.fault == "fail-make") {
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "no tank model named 'big'");
    }
    return grpc::Status::OK;
  }
  grpc::Status GetMappings(grpc::ServerContext*, const pb::GetMappingsRequest*,
                           pb::JsonReply* reply) override {
    reply->set_json(options_.fault == "bad-mappings" ? kBadMappings : kMappings);
    return grpc::Status::OK;
  }
  grpc::Status SensorSpaceInfo(grpc::ServerContext*, const pb::SpaceInfoRequest*,
                               pb::JsonReply* reply) override {
    if (options_.no_sensor_space) return grpc::Status(grpc::StatusCode::UNIMPLEMENTED, "");
    reply->set_json(options_.fault == "bad-space" ? R"({"type": "box", "low": 0})" : kSensorSpace);
    return grpc::Status::OK;
  }
  grpc::Status ActionSpaceInfo(grpc::ServerContext*, const pb::SpaceInfoRequest*,
                               pb::JsonReply* reply) override {
    reply->set_json(kActionSpace);
    return grpc::Status::OK;
  }
  grpc::Status Reset(grpc::ServerContext*, const pb::ResetRequest* request,
                     pb::JsonReply* reply) override {
    std::lock_guard lock(mutex_);
    if (request->has_seed()) {
      std::printf("reset seed %llu %s\n", static_cast<unsigned long long>(request->seed()),
                  request->options_json().empty() ? "-" : request->options_json().c_str());
    }
    level_ = 0;
    episode_steps_ = 0;
    seed_ = request->has_seed() ? static_cast<long>(request->seed()) : -1;
    reply->set_json(options_.fault == "reset-outside" ? "[[-1.0], {}]" : "[[0.0], {}]");
    return grpc::Status::OK;
  }
  grpc::Status Step(grpc::ServerContext*, const pb::StepRequest* request,
                    pb::JsonReply* reply) override {
    bool ended = false;
    return step(*request, *reply, ended);
  }

  // Applies one step; `ended` tells whether its answer ends the episode.
  grpc::Status step(const pb::StepRequest& request, pb::JsonReply& reply, bool& ended) {
    std::lock_guard lock(mutex_);
    ++steps_;
    ++episode_steps_;
    const std::string& fault = options_.fault;
    if (fault == "crash-or-hang") {
      if (seed_ == options_.n) {
        std::fprintf(stderr, "fatal: simulated crash after reset seed %ld\n", seed_);
        std::abort();
      }
      while (true) ::pause();
    }
    if (steps_ == options_.n) {
      if (fault == "crash-at-step") {
        std::fprintf(stderr, "fatal: simulated crash at step %ld\n", steps_);
        std::abort();
      }
      if (fault == "hang-in-step") {
        std::printf("hanging in step %ld\n", steps_);
        std::fflush(stdout);
        while (true) ::pause();
      }
      if (fault == "error-in-step") {
        // With a terminal escape, which must not reach the user's terminal.
        return grpc::Status(grpc::StatusCode::UNKNOWN, "the valve is stuck\x1b[2J");
      }
    }
    json::value action;
    try {
      action = velko::json_text::parse(request.action_json());
    } catch (const std::exception& error) {
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, error.what());
    }
    const json::array* values = action.if_array();
    if (!values || values->size() != 1 || !(*values)[0].is_number()) {
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "the action must be [valve]");
    }
    level_ += (*values)[0].to_number<double>();
    if (fault == "differs-ahead" && request.step() != 0) level_ += 0.5;
    std::string observation = "[" + velko::json_text::to_json(json::value(level_)) + "]";
    if (fault == "big-observation") {
      const auto zeros = static_cast<std::size_t>(
          std::llround((*values)[0].to_number<double>() * static_cast<double>(options_.n)));
      observation.assign(2 * zeros + 1, '0');
      for (std::size_t i = 0; i <= 2 * zeros; i += 2) observation[i] = ',';
      observation.front() = '[';
      observation.back() = ']';
      if (zeros == 0) observation = "[]";
    }
    if (fault == "outside-at-step" && steps_ == options_.n) observation = "[-1.0]";
    if (fault == "null-at-step" && steps_ == options_.n) observation = "[null]";
    ended = options_.end_at > 0 && episode_steps_ == options_.end_at;
    reply.set_step(request.step());
    if (fault == "out-of-order" && steps_ == options_.n) reply.set_step(request.step() + 1);
    if (fault == "malformed-json") {
      reply.set_json("[" + observation + ", 0.0, false, fal");
    } else if (fault == "four-parts") {
      reply.set_json("[" + observation + ", 0.0, false, false]");
    } else if (fault == "deep-json") {
      reply.set_json(std::string(100000, '[') + std::string(100000, ']'));
    } else if (fault == "text-reward") {
      reply.set_json("[" + observation + ", \"high\", false, false, {}]");
    } else {
      reply.set_json("[" + observation + ", 0.0, " + (ended ? "true" : "false") + ", false, {}]");
    }
    return grpc::Status::OK;
  }
  grpc::Status StepStream(
      grpc::ServerContext* context,
      grpc::ServerReaderWriter<pb::JsonReply, pb::StepRequest>* stream) override {
    // A sim written without the step stream.
    const std::string& fault = options_.fault;
    if (fault == "no-stream") return grpc::Status(grpc::StatusCode::UNIMPLEMENTED, "");
    pb::StepRequest request;
    while (stream->Read(&request)) {
      pb::JsonReply reply;
      bool ended = false;
      grpc::Status status = step(request, reply, ended);
      if (!status.ok()) return status;
      if (!stream->Write(reply)) break;
      if (fault == "answer-twice" && !stream->Write(reply)) break;
      if (!ended || request.step() == 0 || fault == "steps-after-end") continue;
      if (fault == "stall-after-end") {
        std::printf("stalling after step %ld\n", static_cast<long>(request.step()));
        while (!context->IsCancelled()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      }
      break;
    }
    return grpc::Status::OK;
  }
  grpc::Status StepBatches(
      grpc::ServerContext* context,
      grpc::ServerReaderWriter<pb::StepBatchReply, pb::StepBatch>* stream) override {
    const std::string& fault = options_.fault;
    if (options_.batches == 0) return grpc::Status(grpc::StatusCode::UNIMPLEMENTED, "");
    pb::StepBatch batch;
    bool ended = false;
    bool first = true;
    bool kept = false;
    while ((kept || !ended) && stream->Read(&batch)) {
      if (batch.steps_size() > options_.batches) {
        return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "a batch larger than announced");
      }
      if (first) kept = options_.batch_resets && batch.has_reset();
      first = false;
      pb::StepBatchReply reply;
      if (kept && batch.has_reset()) {
        Reset(context, &batch.reset(), reply.mutable_reset());
        ended = false;
      } else if (ended) {
        continue;
      }
      for (const pb::StepRequest& request : batch.steps()) {
        bool ends = false;
        pb::JsonReply answer;
        grpc::Status status = step(request, answer, ends);
        if (!status.ok()) {
          // The answers before the failed step go out first.
          if (reply.answers_size() > 0) stream->Write(reply);
          return status;
        }
        *reply.add_answers() = std::move(answer);
        // steps-after-end goes on applying and answering after the ending answer.
        if (ends && fault != "steps-after-end") {
          ended = true;
          break;
        }
      }
      if (!stream->Write(reply)) break;
    }
    if (ended && fault == "stall-after-end") {
      std::printf("stalling after the end\n");
      while (!context->IsCancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return grpc::Status::OK;
  }
  grpc::Status Close(grpc::ServerContext*, const pb::CloseRequest*, pb::CloseReply*) override {
    if (options_.fault == "fail-close") {
      return grpc::Status(grpc::StatusCode::INTERNAL, "the log file could not be flushed");
    }
    return grpc::Status::OK;
  }

 private:
  const Options& options_;
  std::mutex mutex_;
  long steps_ = 0;
  long episode_steps_ = 0;
  double level_ = 0;
  // The seed of the last reset; -1 for none.
  long seed_ = -1;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--fault" && i + 1 < argc) {
      std::string kind = argv[++i];
      if (kind == "spawn-child") {
        options.spawn_child = true;
        continue;
      }
      if (kind == "one-at-a-time") {
        options.one_at_a_time = true;
        continue;
      }
      if (kind == "no-sensor-space") {
        options.no_sensor_space = true;
        continue;
      }
      options.fault = kind;
      if (i + 1 < argc && argv[i + 1][0] != '-') options.n = std::atol(argv[++i]);
    } else if (arg == "--end-at" && i + 1 < argc) {
      options.end_at = std::atol(argv[++i]);
    } else if (arg == "--batches" && i + 1 < argc) {
      options.batches = std::atol(argv[++i]);
    } else if (arg == "--batch-resets") {
      options.batch_resets = true;
    } else if (arg == "--episodes-ahead") {
      options.episodes_ahead = true;
    } else if (arg == "--host" && i + 1 < argc) {
      options.host = argv[++i];
    } else if (arg == "--port" && i + 1 < argc) {
      options.port = std::atoi(argv[++i]);
    }
  }
  return options;
}

// Listens on the port like a sim but never answers.
[[noreturn]] void never_serve(const Options& options) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(options.port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0) {
    std::perror("never-serve");
    std::exit(1);
  }
  while (true) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options = parse(argc, argv);
  const std::string& fault = options.fault;

  if (fault == "fail-before-serve") {
    std::fprintf(stderr,
                 "Traceback (most recent call last):\n"
                 "  File \"sim.py\", line 3, in <module>\n"
                 "    import tank_model\n"
                 "ModuleNotFoundError: No module named 'tank_model'\n");
    return 1;
  }
  if (fault == "never-serve") never_serve(options);
  if (fault == "long-line") {
    std::printf("%s\nafter the long line\n", std::string(100000, 'x').c_str());
  }
  if (options.spawn_child) {
    // The child ignores SIGTERM from its start: only the process group's SIGKILL ends it.
    ::signal(SIGTERM, SIG_IGN);
    pid_t child = ::fork();
    if (child == 0) {
      while (true) ::pause();
    }
    ::signal(SIGTERM, SIG_DFL);
    std::printf("child %d\n", static_cast<int>(child));
  }

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  if (fault == "ignore-sigterm") {
    ::signal(SIGTERM, SIG_IGN);
  } else {
    sigaddset(&stop, SIGTERM);
  }
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  FaultSim service(options);
  grpc::ServerBuilder builder;
  int bound = 0;
  builder.AddListeningPort(options.host + ":" + std::to_string(options.port),
                           grpc::InsecureServerCredentials(), &bound);
  builder.RegisterService(&service);
  builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
  std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  if (!server || bound == 0) {
    std::fprintf(stderr, "cannot serve on port %d\n", options.port);
    return 1;
  }
  std::printf("serving on port %d\n", bound);

  int signal = 0;
  while (sigwait(&stop, &signal) != 0) {
  }
  auto stopped = std::async(std::launch::async, [&server] {
    server->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(500));
  });
  if (stopped.wait_for(std::chrono::seconds(2)) != std::future_status::ready) ::_exit(0);
  return 0;
}
