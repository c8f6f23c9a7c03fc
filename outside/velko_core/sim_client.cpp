#include "outside/velko_core/sim_client.h"

#include <grpcpp/grpcpp.h>

#include <atomic>
#include <chrono>
#include <utility>

#include <boost/json/array.hpp>

#include "common/errors.h"
#include "common/json_text.h"
#include "outside/velko_core/grpc_completion.h"
#include "outside/velko_core/sim_step_stream.h"
#include "proto/sim.grpc.pb.h"

namespace velko::core {

namespace json = boost::json;
namespace pb = velko::sim::v1;

namespace {

// Most bytes of an answer quoted in an error message.
constexpr std::size_t kQuotedAnswerBytes = 200;

// The first `limit` bytes of `text`, cut before a UTF-8 continuation byte.
std::string cut(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + "...";
}

// Text from the sim as it may be shown on a terminal: control characters other than line
// breaks and tabs are written as \xNN, so that a sim cannot steer the user's terminal.
std::string printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

// One gRPC call in flight: what the call needs to outlive it, shared with its completion.
template <class Request, class Reply>
struct Call {
  // The channel outlives the call's context: gRPC's completion queue of the channel must not
  // go before the calls bound to it.
  std::shared_ptr<grpc::Channel> channel;
  grpc::ClientContext context;
  Request request;
  Reply reply;
  grpc::Status status;
  std::atomic<bool> cancelled{false};
};

// Starts a call with `start(context, request, reply, on_end)` and completes on the caller's
// event loop once the call has ended. A cancellation cancels the gRPC call at once.
template <class Request, class Reply, class Start>
awaitable<void> run_call(std::shared_ptr<Call<Request, Reply>> call, Start start) {
  // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
  auto begin = [call, start](Done done) mutable {
    start(&call->context, &call->request, &call->reply,
          [call, done](grpc::Status status) mutable {
            call->status = std::move(status);
            done(std::move(call));
          });
  };
  auto cancel = [call] {
    call->cancelled = true;
    call->context.TryCancel();
  };
  co_await await_completion(std::move(begin), std::move(cancel));
}

// The user's view of a failed call.
[[noreturn]] void raise_status(const grpc::Status& status, const std::string& call) {
  std::string message = printable(cut(status.error_message(), kMaxSimMessageBytes));
  std::string prefix = "the sim's " + call + " failed: ";
  switch (status.error_code()) {
    case grpc::StatusCode::UNAVAILABLE:
      throw SimError(prefix + "the sim cannot be reached" +
                     (message.empty() ? "" : " (" + message + ")"));
    case grpc::StatusCode::UNIMPLEMENTED:
      throw SimError(prefix + "the sim does not offer it" +
                     (message.empty() ? "" : " (" + message + ")"));
    case grpc::StatusCode::RESOURCE_EXHAUSTED:
      throw SimError(prefix + (message.empty() ? "its answer is too large" : message));
    case grpc::StatusCode::CANCELLED:
      throw SimError(prefix + (message.empty() ? "the sim cancelled it" : message));
    default:
      throw SimError(prefix + (message.empty() ? "no reason given (status " +
                                                     std::to_string(status.error_code()) + ")"
                                               : message));
  }
}

// Raises the call's failure: Interrupted when it was cancelled here.
template <class Request, class Reply>
void check(const Call<Request, Reply>& call, const std::string& name) {
  if (call.status.ok()) return;
  if (call.cancelled) throw Interrupted{};
  raise_status(call.status, name);
}

json::value parse_answer(const std::string& text, const std::string& call) {
  try {
    return json_text::parse(text);
  } catch (const json_text::JsonError& error) {
    throw BadAnswer("the sim's " + call + " answered malformed JSON (" + error.what() + "): " +
                    printable(cut(text, kQuotedAnswerBytes)));
  }
}

// The parts of a reset or step answer.
std::vector<json::value> parts_of(const std::string& text, const std::string& call) {
  json::value answer = parse_answer(text, call);
  json::array* parts = answer.if_array();
  if (!parts) {
    throw BadAnswer("the sim's " + call + " answer is not a list of its parts: " +
                    printable(cut(text, kQuotedAnswerBytes)));
  }
  return std::vector<json::value>(std::make_move_iterator(parts->begin()),
                                  std::make_move_iterator(parts->end()));
}

std::shared_ptr<grpc::Channel> open_channel(const std::string& address) {
  grpc::ChannelArguments args;
  args.SetMaxReceiveMessageSize(static_cast<int>(kMaxSimAnswerBytes));
  args.SetMaxSendMessageSize(static_cast<int>(kMaxSimAnswerBytes));
  // A sim that is starting is retried soon, not after gRPC's default second of backoff.
  args.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 50);
  args.SetInt(GRPC_ARG_MIN_RECONNECT_BACKOFF_MS, 50);
  args.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 500);
  // The sim is on this machine: never through a proxy, never sharing another channel's
  // connection state.
  args.SetInt(GRPC_ARG_ENABLE_HTTP_PROXY, 0);
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  return grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args);
}

}  // namespace

struct GrpcSimClient::Impl {
  dataset_replay::ClientOptions options;
  std::shared_ptr<grpc::Channel> channel;
  std::unique_ptr<pb::Sim::Stub> stub;
  // Steps go over one stream while the sim offers it; declared after the channel, so that it
  // ends first.
  std::unique_ptr<StepStream> stream;
  bool stream_offered = true;

  // How a streamed step ended.
  struct StreamedStep {
    grpc::Status status;
    std::string answer;
    bool cancelled = false;
  };

  // Makes one step over the stream (opened when there is none); yields how it ended.
  awaitable<std::shared_ptr<StreamedStep>> stream_step(std::string action_json) {
    if (!stream || stream->ended()) {
      stream.reset();
      stream = std::make_unique<StepStream>(*stub);
    }
    StepStream* open = stream.get();
    auto outcome = std::make_shared<StreamedStep>();
    auto start = [open, outcome, action_json = std::move(action_json)](Done done) {
      open->step(action_json, [outcome, done](const grpc::Status& status, std::string answer) {
        outcome->status = status;
        outcome->answer = std::move(answer);
        done(nullptr);
      });
    };
    auto cancel = [open, outcome] {
      outcome->cancelled = true;
      open->cancel();
    };
    co_await await_completion(std::move(start), std::move(cancel));
    co_return outcome;
  }

  template <class Request, class Reply>
  using Method = void (pb::Sim::Stub::async_interface::*)(grpc::ClientContext*, const Request*,
                                                          Reply*,
                                                          std::function<void(grpc::Status)>);

  // Makes one call of the stub's `method` and awaits its end; raises its failure.
  template <class Request, class Reply>
  awaitable<void> call(Method<Request, Reply> method, std::shared_ptr<Call<Request, Reply>> state,
                       std::string name) {
    pb::Sim::Stub::async_interface* async = stub->async();
    // Named: GCC 12 destroys a lambda temporary inside a co_await expression twice.
    auto start = [async, method](grpc::ClientContext* context, const Request* request,
                                 Reply* reply, std::function<void(grpc::Status)> done) {
      (async->*method)(context, request, reply, std::move(done));
    };
    co_await run_call(state, start);
    check(*state, name);
  }

  // Makes a call whose answer is one JSON text, and yields the text.
  template <class Request>
  awaitable<std::string> json_call(Method<Request, pb::JsonReply> method, Request request,
                                   std::string name) {
    auto state = std::make_shared<Call<Request, pb::JsonReply>>();
    state->channel = channel;
    state->request = std::move(request);
    co_await call(method, state, std::move(name));
    co_return std::move(*state->reply.mutable_json());
  }
};

GrpcSimClient::GrpcSimClient(dataset_replay::ClientOptions options)
    : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->channel = open_channel(impl_->options.address);
  impl_->stub = pb::Sim::NewStub(impl_->channel);
}

GrpcSimClient::~GrpcSimClient() = default;

awaitable<void> GrpcSimClient::init() {
  auto state = std::make_shared<Call<pb::InitRequest, pb::InitReply>>();
  state->channel = impl_->channel;
  co_await impl_->call(&pb::Sim::Stub::async_interface::Init, state, "init()");
}

awaitable<void> GrpcSimClient::make() {
  auto state = std::make_shared<Call<pb::MakeRequest, pb::MakeReply>>();
  state->channel = impl_->channel;
  const dataset_replay::ClientOptions& options = impl_->options;
  state->request.set_run_id(options.run_id);
  state->request.set_sim_id(options.sim_id);
  state->request.set_env_id(options.env_id);
  state->request.set_env_init_json(json_text::to_json(options.env_init));
  co_await impl_->call(&pb::Sim::Stub::async_interface::Make, state, "make()");
}

awaitable<void> GrpcSimClient::close() {
  auto state = std::make_shared<Call<pb::CloseRequest, pb::CloseReply>>();
  state->channel = impl_->channel;
  co_await impl_->call(&pb::Sim::Stub::async_interface::Close, state, "close()");
}

awaitable<json::value> GrpcSimClient::get_mappings() {
  std::string text = co_await impl_->json_call(&pb::Sim::Stub::async_interface::GetMappings,
                                               pb::GetMappingsRequest(), "get_mappings()");
  co_return parse_answer(text, "get_mappings()");
}

awaitable<json::value> GrpcSimClient::sensor_space_info() {
  std::string text = co_await impl_->json_call(
      &pb::Sim::Stub::async_interface::SensorSpaceInfo, pb::SpaceInfoRequest(),
      "sensor_space_info()");
  co_return parse_answer(text, "sensor_space_info()");
}

awaitable<json::value> GrpcSimClient::action_space_info() {
  std::string text = co_await impl_->json_call(
      &pb::Sim::Stub::async_interface::ActionSpaceInfo, pb::SpaceInfoRequest(),
      "action_space_info()");
  co_return parse_answer(text, "action_space_info()");
}

awaitable<std::vector<json::value>> GrpcSimClient::reset() {
  std::string text = co_await impl_->json_call(&pb::Sim::Stub::async_interface::Reset,
                                               pb::ResetRequest(), "reset()");
  co_return parts_of(text, "reset()");
}

awaitable<std::vector<json::value>> GrpcSimClient::step(json::value action) {
  pb::StepRequest request;
  try {
    json_text::write(*request.mutable_action_json(), action);
  } catch (const std::domain_error&) {
    throw std::invalid_argument(
        "the action for the sim's step() holds a number that JSON cannot carry (NaN or an "
        "infinity)");
  }
  if (impl_->stream_offered) {
    std::shared_ptr<Impl::StreamedStep> outcome =
        co_await impl_->stream_step(std::move(*request.mutable_action_json()));
    if (outcome->status.ok()) co_return parts_of(outcome->answer, "step()");
    if (outcome->cancelled) throw Interrupted{};
    if (outcome->status.error_code() != grpc::StatusCode::UNIMPLEMENTED) {
      raise_status(outcome->status, "step()");
    }
    // A sim without the step stream is stepped call by call from now on.
    impl_->stream_offered = false;
    impl_->stream.reset();
    json_text::write(*request.mutable_action_json(), action);
  }
  std::string text = co_await impl_->json_call(&pb::Sim::Stub::async_interface::Step,
                                               std::move(request), "step()");
  co_return parts_of(text, "step()");
}

awaitable<bool> GrpcSimClient::ping(double timeout_s) {
  auto state = std::make_shared<Call<pb::PingRequest, pb::PingReply>>();
  state->channel = impl_->channel;
  state->context.set_wait_for_ready(true);
  state->context.set_deadline(std::chrono::system_clock::now() +
                              std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                  seconds_to_duration(timeout_s)));
  pb::Sim::Stub::async_interface* async = impl_->stub->async();
  auto start = [async](grpc::ClientContext* context, const pb::PingRequest* request,
                        pb::PingReply* reply, std::function<void(grpc::Status)> done) {
    async->Ping(context, request, reply, std::move(done));
  };
  co_await run_call(state, start);
  if (state->status.ok()) co_return true;
  if (state->cancelled) throw Interrupted{};
  switch (state->status.error_code()) {
    case grpc::StatusCode::UNAVAILABLE:
    case grpc::StatusCode::DEADLINE_EXCEEDED:
      co_return false;
    default:
      // Any other answer (a sim without Ping answers UNIMPLEMENTED) comes from a serving sim.
      co_return true;
  }
}

std::unique_ptr<dataset_replay::SimClient> make_sim_client(dataset_replay::ClientOptions options) {
  if (options.protocol != "grpc") {
    throw std::invalid_argument("the sim connection has no protocol '" + options.protocol +
                                "'; it speaks \"grpc\"");
  }
  return std::make_unique<GrpcSimClient>(std::move(options));
}

}  // namespace velko::core
