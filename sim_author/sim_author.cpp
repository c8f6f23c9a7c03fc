#include "sim_author/sim_author.h"

#include <grpcpp/grpcpp.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/json/array.hpp>

#include "common/json_text.h"
#include "proto/sim.grpc.pb.h"
#include "sim_connection/grpc_locks.h"
#include "spaces/spaces.h"

namespace velko::sim_author {

namespace json = boost::json;
namespace pb = velko::sim::v1;

namespace {

// Largest request that the sim accepts.
constexpr int kMaxRequestBytes = 64 << 20;
// How long calls in progress may take to end after a stop signal, and how long the server
// may take to stop as a whole before the process leaves without waiting.
constexpr auto kShutdownGrace = std::chrono::milliseconds(1000);
constexpr auto kShutdownLimit = std::chrono::milliseconds(3000);

// A copy of `value` in which every number that is not finite is null.
json::value finite_or_null(const json::value& value) {
  switch (value.kind()) {
    case json::kind::double_:
      return std::isfinite(value.get_double()) ? value : json::value(nullptr);
    case json::kind::array: {
      json::array out;
      out.reserve(value.get_array().size());
      for (const json::value& item : value.get_array()) out.push_back(finite_or_null(item));
      return out;
    }
    case json::kind::object: {
      json::object out;
      for (const auto& member : value.get_object()) {
        out.emplace(member.key(), finite_or_null(member.value()));
      }
      return out;
    }
    default:
      return value;
  }
}

std::string encode(const json::value& value) {
  try {
    return json_text::to_json(value);
  } catch (const std::domain_error&) {
    return json_text::to_json(finite_or_null(value));
  }
}

json::value decode(const std::string& text, const char* what) {
  try {
    return json_text::parse(text);
  } catch (const json_text::JsonError& error) {
    throw std::invalid_argument(std::string(what) + " is not valid JSON: " + error.what());
  }
}

// Most steps taken in one batch.
constexpr std::uint32_t kBatchSteps = 256;
// Longest that the steps of a batch go unanswered while later ones are applied.
constexpr std::chrono::seconds kAnswerWithin{1};

// The sim connection's service over the author's Sim.
class SimService final : public pb::Sim::Service {
 public:
  explicit SimService(Sim& sim) : sim_(sim) {}

  grpc::Status Ping(grpc::ServerContext*, const pb::PingRequest*, pb::PingReply*) override {
    return grpc::Status::OK;
  }

  grpc::Status Init(grpc::ServerContext*, const pb::InitRequest*, pb::InitReply* reply) override {
    // Steps sent ahead are applied one at a time, in order, as any others: the author's step()
    // sees no difference.
    reply->set_steps_ahead(true);
    reply->set_batch_steps(kBatchSteps);
    reply->set_batch_resets(true);
    reply->set_episodes_ahead(true);
    return grpc::Status::OK;
  }

  grpc::Status Make(grpc::ServerContext*, const pb::MakeRequest* request, pb::MakeReply*) override {
    return guarded([&] {
      json::value env_init = request->env_init_json().empty()
                                 ? json::value(json::object())
                                 : decode(request->env_init_json(), "env_init");
      if (!env_init.is_object()) throw std::invalid_argument("env_init is not a JSON object");
      sim_.make(MakeRequest{request->run_id(), request->sim_id(), request->env_id(),
                            std::move(env_init.get_object())});
    });
  }

  grpc::Status GetMappings(grpc::ServerContext*, const pb::GetMappingsRequest*,
                           pb::JsonReply* reply) override {
    return guarded([&] { reply->set_json(encode(sim_.mappings())); });
  }

  grpc::Status SensorSpaceInfo(grpc::ServerContext*, const pb::SpaceInfoRequest*,
                               pb::JsonReply* reply) override {
    return guarded([&] { reply->set_json(encode(sim_.sensor_space())); });
  }

  grpc::Status ActionSpaceInfo(grpc::ServerContext*, const pb::SpaceInfoRequest*,
                               pb::JsonReply* reply) override {
    return guarded([&] { reply->set_json(encode(sim_.action_space())); });
  }

  grpc::Status Reset(grpc::ServerContext*, const pb::ResetRequest* request,
                     pb::JsonReply* reply) override {
    return reset(request, reply);
  }

  grpc::Status Step(grpc::ServerContext*, const pb::StepRequest* request,
                    pb::JsonReply* reply) override {
    bool ended = false;
    return step(*request, *reply, ended);
  }

  // A stream of steps. velko numbers the steps of an episode that it sends ahead of their
  // answers: each answer echoes its step's number, and after the answer that ends the episode
  // (terminated or truncated) the stream ends, so that the steps still on their way are never
  // applied. Unnumbered steps come one at a time, over a stream that outlives episodes.
  grpc::Status StepStream(
      grpc::ServerContext*,
      grpc::ServerReaderWriter<pb::JsonReply, pb::StepRequest>* stream) override {
    pb::StepRequest request;
    while (stream->Read(&request)) {
      pb::JsonReply reply;
      bool ended = false;
      grpc::Status status = step(request, reply, ended);
      if (!status.ok()) return status;
      reply.set_step(request.step());
      if (!stream->Write(reply)) break;
      if (ended && request.step() > 0) break;
    }
    return grpc::Status::OK;
  }

  // Steps in batches, with the rules of the stream above: a batch is applied step by step and
  // answered in one message; nothing after the answer that ends the episode is applied. A
  // stream whose first batch carries a reset is kept from episode to episode: each episode's
  // reset comes in its first batch and is answered first, and after an ending answer the
  // batches without a reset are dropped.
  grpc::Status StepBatches(
      grpc::ServerContext* context,
      grpc::ServerReaderWriter<pb::StepBatchReply, pb::StepBatch>* stream) override {
    pb::StepBatch batch;
    bool ended = false;
    bool first = true;
    bool kept = false;
    // A stream that velko cancelled has no more of its steps applied: the next episode may
    // already be on its way on another.
    while ((kept || !ended) && stream->Read(&batch) && !context->IsCancelled()) {
      if (batch.steps_size() > static_cast<int>(kBatchSteps)) {
        return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT,
                            "a batch of " + std::to_string(batch.steps_size()) +
                                " steps, more than the " + std::to_string(kBatchSteps) +
                                " the sim takes in one");
      }
      if (first) kept = batch.has_reset();
      first = false;
      pb::StepBatchReply reply;
      if (kept && batch.has_reset()) {
        grpc::Status status = reset(&batch.reset(), reply.mutable_reset());
        if (!status.ok()) return status;
        ended = false;
      } else if (ended) {
        continue;  // a step of an episode that has ended
      }
      auto answering_since = std::chrono::steady_clock::now();
      bool written = true;
      for (const pb::StepRequest& request : batch.steps()) {
        pb::JsonReply answer;
        grpc::Status status = step(request, answer, ended);
        if (!status.ok()) {
          // The answers before the failed step's go out first.
          if (reply.answers_size() > 0 || reply.has_reset()) stream->Write(reply);
          return status;
        }
        answer.set_step(request.step());
        *reply.add_answers() = std::move(answer);
        if (ended) break;
        // velko's time limit counts until an answer comes: slow steps are answered in parts.
        if (std::chrono::steady_clock::now() - answering_since >= kAnswerWithin) {
          written = !context->IsCancelled() && stream->Write(reply);
          if (!written) break;
          reply.Clear();
          answering_since = std::chrono::steady_clock::now();
        }
      }
      if (!written) break;
      if ((reply.answers_size() > 0 || reply.has_reset()) && !stream->Write(reply)) break;
    }
    return grpc::Status::OK;
  }

  grpc::Status Close(grpc::ServerContext*, const pb::CloseRequest*, pb::CloseReply*) override {
    return guarded([&] { sim_.close(); });
  }

 private:
  // Starts an episode as `request` says and writes [observation, info] into `reply`.
  grpc::Status reset(const pb::ResetRequest* request, pb::JsonReply* reply) {
    return guarded([&] {
      ResetRequest reset;
      if (request->has_seed()) reset.seed = request->seed();
      if (!request->options_json().empty()) {
        json::value options = decode(request->options_json(), "options_json");
        if (!options.is_object()) throw std::invalid_argument("options_json is not a JSON object");
        reset.options = std::move(options.get_object());
      }
      ResetResult result = sim_.reset(reset);
      json::array parts;
      parts.reserve(2);
      parts.emplace_back(std::move(result.observation));
      parts.emplace_back(std::move(result.info));
      reply->set_json(encode(parts));
    });
  }

  // Applies one step; `ended` tells whether its answer ends the episode.
  grpc::Status step(const pb::StepRequest& request, pb::JsonReply& reply, bool& ended) {
    return guarded([&] {
      json::value action = decode(request.action_json(), "the action");
      StepResult result = sim_.step(action);
      ended = result.terminated || result.truncated;
      json::array parts;
      parts.reserve(5);
      parts.emplace_back(std::move(result.observation));
      parts.emplace_back(result.reward);
      parts.emplace_back(result.terminated);
      parts.emplace_back(result.truncated);
      parts.emplace_back(std::move(result.info));
      reply.set_json(encode(parts));
    });
  }

  // Runs one of the author's methods, alone, and turns its failure into a status.
  template <class Fn>
  grpc::Status guarded(Fn fn) {
    std::lock_guard lock(mutex_);
    try {
      fn();
      return grpc::Status::OK;
    } catch (const std::invalid_argument& error) {
      return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, error.what());
    } catch (const std::exception& error) {
      return grpc::Status(grpc::StatusCode::UNKNOWN, error.what());
    } catch (...) {
      return grpc::Status(grpc::StatusCode::UNKNOWN, "the sim failed with an unknown error");
    }
  }

  Sim& sim_;
  std::mutex mutex_;
};

// The value of "--name value" or "--name=value" on the command line.
std::optional<std::string> option(int argc, char** argv, std::string_view name) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == name && i + 1 < argc) return std::string(argv[i + 1]);
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
      return std::string(arg.substr(name.size() + 1));
    }
  }
  return std::nullopt;
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace

void Sim::make(const MakeRequest&) {}

ResetResult Sim::reset(const ResetRequest&) { return reset(); }

ResetResult Sim::reset() {
  throw std::logic_error("the sim overrides neither reset(const ResetRequest&) nor reset()");
}

namespace {

// The mappings of a space's variables, the variable of a space that is one value addressed as
// the whole value (" "): the empty path would leave it without a slot.
json::array mappings_of(const json::value& space) {
  json::array mappings = spaces::convert_space_to_json(space);
  for (json::value& mapping : mappings) {
    json::value* name = mapping.is_object() ? mapping.get_object().if_contains("name") : nullptr;
    if (name && name->is_string() && name->get_string().empty()) *name = " ";
  }
  return mappings;
}

}  // namespace

json::value Sim::mappings() {
  json::object sensors;
  sensors["mappings"] = mappings_of(sensor_space());
  json::object actions;
  actions["mappings"] = mappings_of(action_space());
  json::object out;
  out["sensor_space"] = std::move(sensors);
  out["action_space"] = std::move(actions);
  return out;
}

int serve(int argc, char** argv, Sim& sim) {
  // Each line the sim prints reaches velko when it is printed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const char* program = argc > 0 ? argv[0] : "sim";

  std::string host =
      option(argc, argv, "--host").value_or(environment("VELKO_SIM_HOST").value_or("localhost"));
  const std::string port_text =
      option(argc, argv, "--port").value_or(environment("VELKO_SIM_PORT").value_or(""));
  const char* end = port_text.data() + port_text.size();
  int port = 0;
  auto parsed = std::from_chars(port_text.data(), end, port);
  if (port_text.empty() || parsed.ec != std::errc() || parsed.ptr != end || port < 1 ||
      port > 65535) {
    std::fprintf(stderr, "%s: give the port to serve on: --port N (or VELKO_SIM_PORT)\n", program);
    return 2;
  }

  // The stop signals are taken by this thread alone; gRPC's threads inherit the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  sim_connection::skip_lock_order_checks();
  SimService service(sim);
  grpc::ServerBuilder builder;
  int bound = 0;
  const std::string address = host + ":" + std::to_string(port);
  builder.AddListeningPort(address, grpc::InsecureServerCredentials(), &bound);
  builder.RegisterService(&service);
  builder.SetMaxReceiveMessageSize(kMaxRequestBytes);
  // The port is ours alone: gRPC would share it with another server (SO_REUSEPORT), and
  // velko could then talk to another run's sim. Taking it fails instead, and velko retries.
  builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
  std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  if (!server || bound == 0) {
    std::fprintf(stderr, "%s: cannot serve on %s (is the port in use?)\n", program,
                 address.c_str());
    return 1;
  }

  int signal = 0;
  while (sigwait(&stop, &signal) != 0) {
  }

  // A call that never ends (a sim stuck in a step) must not keep the process alive.
  auto stopped = std::async(std::launch::async, [&server] {
    server->Shutdown(std::chrono::system_clock::now() + kShutdownGrace);
  });
  if (stopped.wait_for(kShutdownLimit) != std::future_status::ready) {
    std::fflush(nullptr);
    ::_exit(0);
  }
  return 0;
}

}  // namespace velko::sim_author
