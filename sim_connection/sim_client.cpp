#include "sim_connection/sim_client.h"

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include <boost/json/array.hpp>

#include "common/errors.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "main/dataset_replay/episode_steps.h"
#include "main/dataset_replay/sim_call.h"
#include "proto/sim.grpc.pb.h"
#include "sim_connection/grpc_locks.h"
#include "sim_connection/polled_queue.h"
#include "sim_connection/sim_step_stream.h"

namespace velko::sim_connection {

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

// The user's view of gRPC's refusal of an answer over the channel's bound, "Received message
// larger than max (SIZE vs. BOUND)"; nothing for another message.
std::optional<std::string> answer_too_large(std::string_view message) {
  constexpr std::string_view kRefusal = "Received message larger than max (";
  if (!message.starts_with(kRefusal)) return std::nullopt;
  std::uint64_t size = 0;
  std::uint64_t bound = 0;
  const char* at = message.data() + kRefusal.size();
  const char* end = message.data() + message.size();
  auto read_size = std::from_chars(at, end, size);
  constexpr std::string_view kVersus = " vs. ";
  if (read_size.ec != std::errc() ||
      !std::string_view(read_size.ptr, static_cast<std::size_t>(end - read_size.ptr))
           .starts_with(kVersus) ||
      std::from_chars(read_size.ptr + kVersus.size(), end, bound).ec != std::errc()) {
    return std::nullopt;
  }
  // MiB with one decimal, none for a whole number.
  auto mib = [](std::uint64_t bytes) {
    char buffer[32];
    auto written =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(bytes) / (1 << 20),
                      std::chars_format::fixed, 1);
    std::string text(buffer, written.ptr);
    if (text.ends_with(".0")) text.resize(text.size() - 2);
    return text;
  };
  return "its answer of " + mib(size) + " MiB is larger than the " + mib(bound) +
         " MiB that velko takes; make it smaller, or allow more with --max-answer-size "
         "(in MiB, at most " +
         std::to_string(kMaxSimAnswerBytes >> 20) + ")";
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
      if (std::optional<std::string> too_large = answer_too_large(status.error_message())) {
        throw SimError(prefix + *too_large);
      }
      throw SimError(prefix + (message.empty() ? "its answer is too large" : message));
    case grpc::StatusCode::CANCELLED:
      throw SimError(prefix + (message.empty() ? "the sim cancelled it" : message));
    default:
      throw SimError(prefix + (message.empty() ? "no reason given (status " +
                                                     std::to_string(status.error_code()) + ")"
                                               : message));
  }
}

json::value parse_answer(const std::string& text, const std::string& call) {
  try {
    return json_text::parse(text);
  } catch (const json_text::JsonError& error) {
    throw BadAnswer("the sim's " + call + " answered malformed JSON (" + error.what() +
                    "): " + printable(cut(text, kQuotedAnswerBytes)));
  }
}

// The scalars (numbers, texts, booleans, nulls) of a value, nested ones included.
std::size_t scalars_in(const json::value& value) {
  if (const json::array* items = value.if_array()) {
    std::size_t n = 0;
    for (const json::value& item : *items) n += scalars_in(item);
    return n;
  }
  if (const json::object* members = value.if_object()) {
    std::size_t n = 0;
    for (const auto& member : *members) n += scalars_in(member.value());
    return n;
  }
  return 1;
}

// Refuses an observation of `values` scalars where a sensor space of `variables` variables
// allows no more than most_observation_values(variables).
void check_observation(std::size_t values, std::optional<std::size_t> variables,
                       const std::string& call) {
  if (!variables) return;
  const std::size_t most = dataset_replay::most_observation_values(*variables);
  if (values <= most) return;
  throw BadAnswer("the sim's " + call + " answered an observation of " + std::to_string(values) +
                  " values, far more than the " + std::to_string(*variables) + " variable" +
                  (*variables == 1 ? "" : "s") + " of its sensor space (velko takes at most " +
                  std::to_string(most) + "): make its observations values of that space");
}

// The parts of a reset or step answer. With `variables` (those of the sim's sensor space), an
// observation far larger than the space is refused: in a large answer, before its value is
// built.
std::vector<json::value> parts_of(const std::string& text, const std::string& call,
                                  std::optional<std::size_t> variables) {
  json::value answer;
  const bool sized = text.size() > kSizedReadBytes;
  try {
    if (sized) {
      answer = json_text::parse_sized(text, [&](const json_text::TextShape& shape) {
        if (!shape.part_values.empty()) check_observation(shape.part_values[0], variables, call);
      });
    } else {
      answer = json_text::parse(text);
    }
  } catch (const json_text::JsonError& error) {
    throw BadAnswer("the sim's " + call + " answered malformed JSON (" + error.what() +
                    "): " + printable(cut(text, kQuotedAnswerBytes)));
  }
  json::array* parts = answer.if_array();
  if (!parts) {
    throw BadAnswer("the sim's " + call + " answer is not a list of its parts: " +
                    printable(cut(text, kQuotedAnswerBytes)));
  }
  // A text of N bytes holds at most (N + 1) / 2 scalars: only a long one is counted.
  if (!sized && variables && !parts->empty() &&
      (text.size() + 1) / 2 > dataset_replay::most_observation_values(*variables)) {
    check_observation(scalars_in((*parts)[0]), variables, call);
  }
  return std::vector<json::value>(std::make_move_iterator(parts->begin()),
                                  std::make_move_iterator(parts->end()));
}

std::shared_ptr<grpc::Channel> open_channel(const std::string& address,
                                            std::size_t max_answer_bytes) {
  skip_lock_order_checks();
  grpc::ChannelArguments args;
  // gRPC refuses a larger answer before it is read into a text.
  args.SetMaxReceiveMessageSize(
      static_cast<int>(std::min(std::max<std::size_t>(max_answer_bytes, 1), kMaxSimAnswerBytes)));
  args.SetMaxSendMessageSize(static_cast<int>(kMaxSimAnswerBytes));
  // A sim that is starting is retried soon, not after gRPC's default second of backoff. The
  // minimum backoff is left alone: gRPC also takes it as the time a connection attempt may
  // last, and a tenth of a second (its floor) is too short on a busy machine, where the
  // first call then failed with "tcp handshaker shutdown" against a sim that served.
  args.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 50);
  args.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, 500);
  // The sim is on this machine: never through a proxy, never sharing another channel's
  // connection state.
  args.SetInt(GRPC_ARG_ENABLE_HTTP_PROXY, 0);
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  return grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args);
}

using Clock = PolledQueue::Clock;

// The deadline `seconds` from now.
Clock::time_point deadline_in(double seconds) {
  const Clock::duration left = seconds_to_duration(seconds);
  const Clock::time_point now = Clock::now();
  return left >= Clock::time_point::max() - now ? Clock::time_point::max() : now + left;
}

// One unary call on the client's queue.
template <class Reply>
class UnaryCall final : public QueuedOperation {
 public:
  grpc::ClientContext context;
  Reply reply;
  grpc::Status status;
  bool ended = false;
  std::unique_ptr<grpc::ClientAsyncResponseReader<Reply>> reader;

  void finished(bool) override { ended = true; }
};

// Writes `action` into the request of a step, in place of what it held.
void encode_action(const json::value& action, pb::StepRequest& request) {
  request.mutable_action_json()->clear();
  try {
    json_text::write(*request.mutable_action_json(), action);
  } catch (const std::domain_error&) {
    throw std::invalid_argument(
        "the action for the sim's step() holds a number that JSON cannot carry (NaN or an "
        "infinity)");
  }
}

// The refusal of an answer that no step asked for: `number` is the step number it carried (0
// for none), `after` the last step of the episode answered before it (0 for none).
BadAnswer unasked_answer(std::uint64_t number, std::uint64_t after) {
  std::string what = number == 0
                         ? "sent an answer that no step asked for,"
                         : "answered step " + std::to_string(number) + ", which no step asked for,";
  return BadAnswer("the sim's step() " + what +
                   (after == 0 ? " before it answered a step of the episode"
                               : " after its answer to step " + std::to_string(after)));
}

}  // namespace

struct GrpcSimClient::Impl {
  explicit Impl(std::shared_ptr<PolledQueue> queue_in) : shared_queue(std::move(queue_in)) {
    shared_queue->join();
  }
  ~Impl() { shared_queue->leave(); }

  dataset_replay::ClientOptions options;
  std::shared_ptr<grpc::Channel> channel;
  std::unique_ptr<pb::Sim::Stub> stub;
  // Declared after the channel and before the streams: it goes after the calls bound to it.
  // Shared with the other clients of a connection, so that one poll serves them all.
  std::shared_ptr<PolledQueue> shared_queue;
  PolledQueue& queue = *shared_queue;
  // The sim announced that it takes steps sent ahead of their answers.
  bool steps_ahead = false;
  // The variables of the sim's sensor space, once they bound its observations.
  std::optional<std::size_t> sensor_variables;
  // The most steps the sim announced it takes in one batch; 0 when it takes none.
  int batch_steps = 0;
  // Steps one at a time go over one stream while the sim offers it.
  std::unique_ptr<StepStream> stream;
  bool stream_offered = true;
  // Steps of the episode answered one at a time since the last reset.
  std::uint64_t answered_in_episode = 0;
  // The sim's answer to action_space_info() since the last make().
  std::optional<json::value> action_space;
  // The sim announced that it takes each episode's reset in its first batch.
  bool batch_resets = false;
  // ... and that it takes an episode's reset while the last one's answers are still to come.
  bool episodes_ahead = false;
  // The stream that carries episodes with their resets from one to the next; none before the
  // first, or after an episode that was stopped or failed. Each episode on it shares it.
  std::shared_ptr<BatchStream> episodes;
  // The last step answered in the last episode on it, and whether that answer ended it.
  std::uint64_t episodes_last_step = 0;
  bool episodes_last_ended = false;
  // Resets sent so far: an episode whose reset is not the last, on the stream still kept, was
  // followed by the next one's before its own answers were all in.
  std::uint64_t episodes_resets_sent = 0;

  // Refuses the answer that no step asked for on the stream of steps one at a time, if one
  // came: the stream is cancelled and BadAnswer names the last step answered.
  void refuse_unasked() {
    if (!stream || !stream->unasked()) return;
    const std::uint64_t number = *stream->unasked();
    stream->cancel();
    stream.reset();
    throw unasked_answer(number, answered_in_episode);
  }

  template <class Request, class Reply>
  using Prepare = std::unique_ptr<grpc::ClientAsyncResponseReader<Reply>> (pb::Sim::Stub::*)(
      grpc::ClientContext*, const Request&, grpc::CompletionQueue*);

  // Makes `call` and awaits its end until `deadline`: false when the deadline passed first,
  // and the call was cancelled. A cancellation cancels the call and raises Interrupted.
  template <class Request, class Reply>
  awaitable<bool> run(Prepare<Request, Reply> prepare, const Request& request,
                      UnaryCall<Reply>& call, Clock::time_point deadline) {
    call.reader = (stub.get()->*prepare)(&call.context, request, queue.get());
    call.reader->StartCall();
    call.reader->Finish(&call.reply, &call.status, &call);
    const std::function<bool()> ended = [&call] { return call.ended; };
    std::exception_ptr failure;
    bool in_time = false;
    try {
      in_time = co_await queue.wait(ended, deadline);
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure || !in_time) {
      call.context.TryCancel();
      queue.settle(ended);
    }
    if (failure) std::rethrow_exception(failure);
    co_return in_time;
  }

  // Makes a call and yields its answer; raises its failure with the call's `name`.
  template <class Request, class Reply>
  awaitable<Reply> call(Prepare<Request, Reply> prepare, Request request, std::string name) {
    UnaryCall<Reply> call;
    co_await run(prepare, request, call, Clock::time_point::max());
    if (!call.status.ok()) raise_status(call.status, name);
    co_return std::move(call.reply);
  }

  // Makes one step, one at a time: over the client's stream, or by a Step call when the sim
  // does not offer the stream. TimeoutError when it is not answered before `deadline`
  // (`limit_s` after the call began).
  awaitable<std::vector<json::value>> step_once(const pb::StepRequest& request,
                                                Clock::time_point deadline, double limit_s) {
    if (stream_offered) {
      // An answer that came after the last step's, which no step asked for, is refused
      // rather than taken as this step's.
      refuse_unasked();
      if (!stream || stream->ended()) {
        stream.reset();
        stream = std::make_unique<StepStream>(*stub, queue, options.max_answer_bytes);
      }
      stream->send(request);
      pb::JsonReply answer;
      const StepStream::Next outcome = co_await stream->next(answer, deadline);
      if (outcome == StepStream::Next::kAnswer) {
        ++answered_in_episode;
        co_return parts_of(answer.json(), "step()", sensor_variables);
      }
      if (outcome == StepStream::Next::kUnasked) refuse_unasked();
      if (outcome == StepStream::Next::kTimedOut) {
        stream.reset();
        throw TimeoutError(dataset_replay::sim_timeout_message("step()", limit_s));
      }
      const grpc::Status status = stream->status();
      stream.reset();
      if (status.ok()) {
        raise_status(grpc::Status(grpc::StatusCode::UNAVAILABLE, "the sim ended the step stream"),
                     "step()");
      }
      if (status.error_code() != grpc::StatusCode::UNIMPLEMENTED) raise_status(status, "step()");
      // A sim without the step stream is stepped call by call from now on.
      stream_offered = false;
    }
    UnaryCall<pb::JsonReply> call;
    if (!co_await run(&pb::Sim::Stub::PrepareAsyncStep, request, call, deadline)) {
      throw TimeoutError(dataset_replay::sim_timeout_message("step()", limit_s));
    }
    if (!call.status.ok()) raise_status(call.status, "step()");
    ++answered_in_episode;
    co_return parts_of(call.reply.json(), "step()", sensor_variables);
  }

  // Closes the stream of steps one at a time and reads it to its end, so that an answer no
  // step asked for is seen. A sim that keeps the stream open past kCloseGrace is let go, as
  // the stream's destructor does.
  awaitable<void> end_steps() {
    refuse_unasked();
    co_await end_episodes();
    if (!stream) co_return;
    if (!stream->ended() && stream->unanswered() == 0) {
      stream->close();
      pb::JsonReply answer;
      const StepStream::Next outcome =
          co_await stream->next(answer, Clock::now() + StepStream::kCloseGrace);
      if (outcome == StepStream::Next::kUnasked) refuse_unasked();
    }
    if (!stream->ended()) stream->cancel();
    stream.reset();
  }

  // The refusal of an answer to step `number` where the next episode's reset, or nothing more,
  // was due.
  BadAnswer after_last_episode(std::uint64_t number) const {
    return BadAnswer("the sim's step() answered step " + std::to_string(number) + " after step " +
                     std::to_string(episodes_last_step) +
                     (episodes_last_ended ? " ended the episode" : ", the episode's last"));
  }

  // Closes the stream of episodes with their resets and reads it to its end, so that an
  // answer that no step asked for is seen.
  awaitable<void> end_episodes() {
    if (!episodes) co_return;
    std::shared_ptr<BatchStream> ending = std::move(episodes);
    if (ending->ended() || ending->unanswered() > 0) co_return;
    ending->close();
    pb::JsonReply answer;
    const BatchStream::Next outcome =
        co_await ending->next(answer, Clock::now() + BatchStream::kCloseGrace);
    // A sim that keeps the stream open is let go at once, not waited for again.
    if (outcome == BatchStream::Next::kTimedOut) ending->cancel();
    if (outcome == BatchStream::Next::kAnswer) throw after_last_episode(answer.step());
    if (outcome == BatchStream::Next::kUnasked) throw after_last_episode(*ending->unasked());
    if (outcome == BatchStream::Next::kEnded && !ending->status().ok()) {
      raise_status(ending->status(), "step()");
    }
  }
};

namespace {

// The steps of an episode one at a time, each answered within the time limit.
class StepsOneAtATime final : public dataset_replay::EpisodeSteps {
 public:
  StepsOneAtATime(GrpcSimClient::Impl& impl, double limit_s) : impl_(impl), limit_s_(limit_s) {}

  int window() const override { return 1; }

  void send(const json::value& action) override {
    if (pending_) throw std::logic_error("a step was sent before the previous one was answered");
    encode_action(action, request_);
    pending_ = true;
  }

  awaitable<std::vector<json::value>> next() override {
    if (!pending_) throw std::logic_error("an answer was awaited for no step");
    pending_ = false;
    co_return co_await impl_.step_once(request_, deadline_in(limit_s_), limit_s_);
  }

  awaitable<void> finish(bool) override {
    impl_.refuse_unasked();
    co_return;
  }

 private:
  GrpcSimClient::Impl& impl_;
  double limit_s_;
  pb::StepRequest request_;
  bool pending_ = false;
};

// The steps of an episode sent ahead of their answers, numbered from 1, on a stream of their
// own (a StepStream or a BatchStream) that the sim ends after the answer that ends the episode.
template <class Stream>
class NumberedSteps : public dataset_replay::EpisodeSteps {
 public:
  // On a stream of the episode's own.
  NumberedSteps(GrpcSimClient::Impl& impl, int window, double limit_s)
      : NumberedSteps(
            impl, window, limit_s,
            std::make_unique<Stream>(*impl.stub, impl.queue, impl.options.max_answer_bytes)) {}

  // Steps still unanswered on a stream of the episode's own are cancelled: the sim applies no
  // more of them once it sees that, and their answers are never read.
  ~NumberedSteps() override {
    if (owned_ && !stream_.ended()) stream_.cancel();
  }

  int window() const override { return window_; }

  awaitable<std::vector<json::value>> next() override {
    before_wait();
    pb::JsonReply answer;
    const typename Stream::Next outcome = co_await stream_.next(answer, deadline_in(limit_s_));
    const std::uint64_t due = answered_ + 1;
    if (outcome == Stream::Next::kTimedOut) {
      stream_.cancel();
      throw TimeoutError(dataset_replay::sim_timeout_message("step()", limit_s_));
    }
    if (outcome == Stream::Next::kUnasked) {
      stream_.cancel();
      throw unasked_answer(*stream_.unasked(), answered_);
    }
    if (outcome == Stream::Next::kEnded) {
      if (stream_.status().ok()) {
        throw SimError(
            "the sim's step() failed: the sim ended the step stream before it "
            "answered step " +
            std::to_string(due));
      }
      raise_status(stream_.status(), "step()");
    }
    if (answer.step() != due) {
      stream_.cancel();
      // An answer to a step that was answered already is one that no step asked for.
      const bool again = answer.step() > 0 && answer.step() < due;
      throw BadAnswer("the sim's step() answered step " + std::to_string(answer.step()) +
                      (again ? " again," : "") + " where step " + std::to_string(due) + " was due");
    }
    answered_ = due;
    co_return parts_of(answer.json(), "step()", sensor_variables_);
  }

  awaitable<void> finish(bool sim_ended) override {
    if (!sim_ended && stream_.unanswered() > 0) {
      stream_.cancel();
      co_return;
    }
    // Answers that came for steps after the replay's last are not the sim's fault.
    if (!sim_ended) stream_.drop_answers();
    // The sim ends the stream after the answer that ended the episode, and once it has no
    // more steps to take; it answers nothing more.
    stream_.close();
    pb::JsonReply answer;
    const typename Stream::Next outcome = co_await stream_.next(answer, deadline_in(limit_s_));
    if (outcome == Stream::Next::kEnded) {
      if (!stream_.status().ok()) raise_status(stream_.status(), "step()");
      co_return;
    }
    stream_.cancel();
    const std::string last = std::to_string(answered_);
    if (outcome == Stream::Next::kTimedOut) {
      throw TimeoutError("the sim's step() stream did not end within " + float_repr(limit_s_) +
                         " s of the answer to step " + last + ", the episode's last");
    }
    // An answer after the last, whether or not steps sent ahead of it were still unanswered.
    const std::uint64_t number =
        outcome == Stream::Next::kUnasked ? *stream_.unasked() : answer.step();
    throw BadAnswer("the sim's step() answered step " + std::to_string(number) + " after step " +
                    last + (sim_ended ? " ended the episode" : ", the episode's last"));
  }

 protected:
  // On `stream`; on one that another owns when `owned` is none.
  NumberedSteps(GrpcSimClient::Impl& impl, int window, double limit_s,
                std::unique_ptr<Stream> owned, Stream* stream = nullptr)
      : owned_(std::move(owned)),
        stream_(owned_ ? *owned_ : *stream),
        window_(window),
        limit_s_(limit_s),
        sensor_variables_(impl.sensor_variables) {}

  // Called before each wait for an answer: sends what must go before it.
  virtual void before_wait() {}

  std::unique_ptr<Stream> owned_;
  Stream& stream_;
  int window_;
  double limit_s_;
  std::uint64_t sent_ = 0;
  std::uint64_t answered_ = 0;
  std::optional<std::size_t> sensor_variables_;
};

// Steps sent ahead one to a message, on StepStream.
class StepsAhead final : public NumberedSteps<StepStream> {
 public:
  using NumberedSteps::NumberedSteps;

  void send(const json::value& action) override {
    pb::StepRequest request;
    encode_action(action, request);
    request.set_step(++sent_);
    stream_.send(std::move(request));
  }
};

// Steps sent ahead several to a message, on StepBatches. A batch goes out once it holds
// `batch` steps, or earlier when the sim has fewer than that left to answer, so that it is
// never left without work while velko waits.
class StepsInBatches : public NumberedSteps<BatchStream> {
 public:
  StepsInBatches(GrpcSimClient::Impl& impl, int batch, int window, double limit_s)
      : NumberedSteps(impl, window, limit_s), batch_(batch) {}

  void send(const json::value& action) override {
    pb::StepRequest* request = pending_.add_steps();
    encode_action(action, *request);
    request->set_step(++sent_);
    if (pending_.steps_size() >= batch_) flush();
  }

  awaitable<void> finish(bool sim_ended) override {
    // Steps never sent need no answer.
    pending_.Clear();
    co_await NumberedSteps::finish(sim_ended);
  }

  void send_now() override {
    if (pending_.steps_size() > 0 || pending_.has_reset()) flush();
  }

 protected:
  // On the stream of episodes that `impl` keeps.
  StepsInBatches(GrpcSimClient::Impl& impl, int batch, int window, double limit_s,
                 BatchStream& stream)
      : NumberedSteps(impl, window, limit_s, nullptr, &stream), batch_(batch) {}

  void before_wait() override {
    if ((pending_.steps_size() > 0 || pending_.has_reset()) && stream_.unanswered() < batch_) {
      flush();
    }
  }

  void flush() {
    const bool reset = pending_.has_reset();
    flushed_ += BatchesOfSteps::steps_in(pending_);
    stream_.send(std::move(pending_));
    pending_.Clear();
    if (reset) reset_sent();
  }

  // Called once a batch with a reset has been sent.
  virtual void reset_sent() {}

  int batch_;
  pb::StepBatch pending_;
  // Answers awaited for the batches sent (a reset counts as one).
  int flushed_ = 0;
};

// A new episode in batches on the stream that the client keeps from episode to episode: its
// reset goes in the first batch, with the episode's first steps, and is answered before them.
// The sim drops what follows an answer that ends the episode until the next reset.
class EpisodeWithReset final : public StepsInBatches {
 public:
  EpisodeWithReset(GrpcSimClient::Impl& impl, int batch, int window, double limit_s,
                   const dataset_replay::ResetArgs& args)
      : EpisodeWithReset(impl, batch, window, limit_s, args, kept_stream(impl)) {}

  EpisodeWithReset(GrpcSimClient::Impl& impl, int batch, int window, double limit_s,
                   const dataset_replay::ResetArgs& args, std::shared_ptr<BatchStream> stream)
      : StepsInBatches(impl, batch, window, limit_s, *stream),
        impl_(impl),
        shared_(std::move(stream)) {
    pb::ResetRequest& reset = *pending_.mutable_reset();
    if (args.seed) reset.set_seed(*args.seed);
    if (!args.options.empty()) reset.set_options_json(json_text::to_json(args.options));
  }

  // An episode that did not finish as the rules say (stopped with steps unanswered, failed,
  // or never finished) leaves the stream behind: it is cancelled, and the next episode opens
  // another.
  ~EpisodeWithReset() override {
    if (kept_) return;
    if (!stream_.ended()) stream_.cancel();
    if (impl_.episodes == shared_) impl_.episodes.reset();
  }

  awaitable<std::vector<json::value>> reset_answer() override {
    before_wait();
    pb::JsonReply answer;
    const BatchStream::Next outcome = co_await stream_.next(answer, deadline_in(limit_s_));
    if (outcome == BatchStream::Next::kTimedOut) {
      stream_.cancel();
      throw TimeoutError(dataset_replay::sim_timeout_message("reset()", limit_s_));
    }
    if (outcome == BatchStream::Next::kUnasked) throw impl_.after_last_episode(*stream_.unasked());
    if (outcome == BatchStream::Next::kEnded) {
      if (stream_.status().ok()) {
        throw SimError(
            "the sim's reset() failed: the sim ended the step stream before it answered the "
            "reset");
      }
      raise_status(stream_.status(), "reset()");
    }
    if (answer.step() != 0) {
      stream_.cancel();
      if (impl_.episodes_last_step > 0) throw impl_.after_last_episode(answer.step());
      throw BadAnswer("the sim's step() answered step " + std::to_string(answer.step()) +
                      " where the answer of the episode's reset was due");
    }
    reset_taken_ = true;
    co_return parts_of(answer.json(), "reset()", sensor_variables_);
  }

  awaitable<void> finish(bool sim_ended) override {
    pending_.Clear();
    // The answers of this episode that were not taken, and of those the ones not yet in. When
    // the next episode's reset was sent after its steps, both share the stream.
    const int outstanding = flushed_ - static_cast<int>(answered_) - (reset_taken_ ? 1 : 0);
    const int to_come = std::max(0, outstanding - stream_.held_before_reset());
    const bool followed =
        reset_index_ > 0 && impl_.episodes_resets_sent > reset_index_ && impl_.episodes == shared_;
    if (sim_ended) {
      // The sim drops the steps sent after its ending answer; the stream goes on with the
      // next episode's reset.
      if (followed) {
        stream_.forget(to_come);
      } else {
        stream_.forget_unanswered();
      }
    } else if (to_come > 0) {
      // Cancelled with the steps, and with the next episode if it was sent behind them: it
      // has to be sent again.
      co_return;
    } else {
      // Answers that came for steps after the replay's last are not wanted.
      stream_.drop_answers();
    }
    impl_.episodes_last_step = answered_;
    impl_.episodes_last_ended = sim_ended;
    kept_ = true;
    co_return;
  }

 private:
  void reset_sent() override { reset_index_ = ++impl_.episodes_resets_sent; }

  // The stream that the client keeps, opened now when it has none or it has ended.
  static std::shared_ptr<BatchStream> kept_stream(GrpcSimClient::Impl& impl) {
    // The sim keeps the stream between episodes; one that it failed meanwhile fails the run.
    if (impl.episodes && impl.episodes->ended() && !impl.episodes->status().ok()) {
      const grpc::Status status = impl.episodes->status();
      impl.episodes.reset();
      raise_status(status, "step()");
    }
    if (!impl.episodes || impl.episodes->ended()) {
      impl.episodes =
          std::make_shared<BatchStream>(*impl.stub, impl.queue, impl.options.max_answer_bytes);
      impl.episodes_last_step = 0;
      impl.episodes_last_ended = false;
    }
    return impl.episodes;
  }

  GrpcSimClient::Impl& impl_;
  std::shared_ptr<BatchStream> shared_;
  bool kept_ = false;
  bool reset_taken_ = false;
  // This episode's reset among those sent on the stream (from 1); 0 until it is sent.
  std::uint64_t reset_index_ = 0;
};

}  // namespace

GrpcSimClient::GrpcSimClient(dataset_replay::ClientOptions options,
                             std::shared_ptr<PolledQueue> queue)
    : impl_(std::make_unique<Impl>(queue ? std::move(queue) : std::make_shared<PolledQueue>())) {
  impl_->options = std::move(options);
  impl_->channel = open_channel(impl_->options.address, impl_->options.max_answer_bytes);
  impl_->stub = pb::Sim::NewStub(impl_->channel);
}

GrpcSimClient::~GrpcSimClient() = default;

awaitable<void> GrpcSimClient::init() {
  pb::InitReply reply =
      co_await impl_->call(&pb::Sim::Stub::PrepareAsyncInit, pb::InitRequest(), "init()");
  impl_->steps_ahead = reply.steps_ahead();
  // Bounded by what velko would send anyway: a sim's large number changes nothing.
  impl_->batch_steps = static_cast<int>(std::min<std::uint32_t>(reply.batch_steps(), 1u << 20));
  impl_->batch_resets = reply.batch_resets();
  impl_->episodes_ahead = reply.episodes_ahead();
}

awaitable<void> GrpcSimClient::make() {
  const dataset_replay::ClientOptions& options = impl_->options;
  pb::MakeRequest request;
  // The run's one id names the run, the sim and the env, as sims have always been given it.
  request.set_run_id(options.run_id);
  request.set_sim_id(options.run_id);
  request.set_env_id(options.run_id);
  request.set_env_init_json(json_text::to_json(options.env_init));
  impl_->action_space.reset();
  co_await impl_->call(&pb::Sim::Stub::PrepareAsyncMake, std::move(request), "make()");
}

awaitable<void> GrpcSimClient::close() {
  co_await impl_->call(&pb::Sim::Stub::PrepareAsyncClose, pb::CloseRequest(), "close()");
}

awaitable<json::value> GrpcSimClient::get_mappings() {
  pb::JsonReply reply = co_await impl_->call(&pb::Sim::Stub::PrepareAsyncGetMappings,
                                             pb::GetMappingsRequest(), "get_mappings()");
  co_return parse_answer(reply.json(), "get_mappings()");
}

awaitable<json::value> GrpcSimClient::sensor_space_info() {
  pb::JsonReply reply = co_await impl_->call(&pb::Sim::Stub::PrepareAsyncSensorSpaceInfo,
                                             pb::SpaceInfoRequest(), "sensor_space_info()");
  co_return parse_answer(reply.json(), "sensor_space_info()");
}

awaitable<json::value> GrpcSimClient::action_space_info() {
  // An env's spaces are made with it: asked again before the next make(), the sim gives the
  // same answer, and a replay asks for it at every episode.
  if (impl_->action_space) co_return *impl_->action_space;
  pb::JsonReply reply = co_await impl_->call(&pb::Sim::Stub::PrepareAsyncActionSpaceInfo,
                                             pb::SpaceInfoRequest(), "action_space_info()");
  impl_->action_space = parse_answer(reply.json(), "action_space_info()");
  co_return *impl_->action_space;
}

awaitable<std::vector<json::value>> GrpcSimClient::reset(dataset_replay::ResetArgs args) {
  // An answer that no step of the last episode asked for is not carried into the next.
  impl_->refuse_unasked();
  impl_->answered_in_episode = 0;
  pb::ResetRequest request;
  if (args.seed) request.set_seed(*args.seed);
  if (!args.options.empty()) request.set_options_json(json_text::to_json(args.options));
  pb::JsonReply reply =
      co_await impl_->call(&pb::Sim::Stub::PrepareAsyncReset, std::move(request), "reset()");
  co_return parts_of(reply.json(), "reset()", impl_->sensor_variables);
}

awaitable<std::vector<json::value>> GrpcSimClient::step(json::value action) {
  pb::StepRequest request;
  encode_action(action, request);
  co_return co_await impl_->step_once(request, Clock::time_point::max(), 0);
}

std::unique_ptr<dataset_replay::EpisodeSteps> GrpcSimClient::episode_steps(int window,
                                                                           double call_timeout_s) {
  if (impl_->steps_ahead && window > 1) {
    return std::make_unique<StepsAhead>(*impl_, window, call_timeout_s);
  }
  return std::make_unique<StepsOneAtATime>(*impl_, call_timeout_s);
}

bool GrpcSimClient::takes_steps_ahead() const { return impl_->steps_ahead; }

awaitable<void> GrpcSimClient::end_steps() { co_await impl_->end_steps(); }
void GrpcSimClient::bound_observations(std::size_t variables) {
  impl_->sensor_variables = variables;
}

std::unique_ptr<dataset_replay::EpisodeSteps> GrpcSimClient::episode_batches(
    dataset_replay::StepBatching batching, double call_timeout_s) {
  const int batch = std::min(batching.steps, impl_->batch_steps);
  if (!takes_batches() || batch <= 1) return nullptr;
  return std::make_unique<StepsInBatches>(*impl_, batch, std::max(batching.window, batch),
                                          call_timeout_s);
}

// Batches keep the rules of steps sent ahead: a sim takes them only with those.
bool GrpcSimClient::takes_batches() const { return impl_->steps_ahead && impl_->batch_steps > 1; }

std::unique_ptr<dataset_replay::EpisodeSteps> GrpcSimClient::episode_with_reset(
    dataset_replay::StepBatching batching, double call_timeout_s, dataset_replay::ResetArgs args) {
  const int batch = std::min(batching.steps, impl_->batch_steps);
  if (!takes_batches() || !impl_->batch_resets || batch <= 1) return nullptr;
  // As reset() does: an answer that no step made one at a time asked for is refused first.
  impl_->refuse_unasked();
  return std::make_unique<EpisodeWithReset>(*impl_, batch, std::max(batching.window, batch),
                                            call_timeout_s, args);
}

bool GrpcSimClient::takes_episodes_ahead() const {
  return takes_batches() && impl_->batch_resets && impl_->episodes_ahead;
}

awaitable<bool> GrpcSimClient::ping(double timeout_s) {
  UnaryCall<pb::PingReply> call;
  call.context.set_wait_for_ready(true);
  call.context.set_deadline(std::chrono::system_clock::now() +
                            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                seconds_to_duration(timeout_s)));
  co_await impl_->run(&pb::Sim::Stub::PrepareAsyncPing, pb::PingRequest(), call,
                      Clock::time_point::max());
  if (call.status.ok()) co_return true;
  switch (call.status.error_code()) {
    case grpc::StatusCode::UNAVAILABLE:
    case grpc::StatusCode::DEADLINE_EXCEEDED:
      co_return false;
    default:
      // Any other answer (a sim without Ping answers UNIMPLEMENTED) comes from a serving sim.
      co_return true;
  }
}

}  // namespace velko::sim_connection
