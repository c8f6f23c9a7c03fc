// The steps of a sim over one bidirectional gRPC stream: a step costs a message each way
// instead of a whole call (StepStream), or several steps go in one message and their answers in
// one (BatchStream); either way steps can be sent ahead of their answers.
#pragma once

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "common/async.h"
#include "proto/sim.grpc.pb.h"
#include "sim_connection/polled_queue.h"

namespace velko::sim_connection {

// The StepStream call: one step to a request, one answer to a reply.
struct OneStepAMessage {
  using Request = velko::sim::v1::StepRequest;
  using Reply = velko::sim::v1::JsonReply;
  static auto prepare(velko::sim::v1::Sim::Stub& stub, grpc::ClientContext* context,
                      grpc::CompletionQueue* queue) {
    return stub.PrepareAsyncStepStream(context, queue);
  }
  static int steps_in(const Request&) { return 1; }
  // Calls `take` with each answer of a reply, in order, until it returns false.
  template <class Take>
  static void answers_of(Reply& reply, Take take) {
    take(reply);
  }
};

// The StepBatches call: several steps to a request, one or more answers to a reply. A batch
// that carries an episode's reset awaits its answer too, which comes before those of its
// steps, numbered 0.
struct BatchesOfSteps {
  using Request = velko::sim::v1::StepBatch;
  using Reply = velko::sim::v1::StepBatchReply;
  static auto prepare(velko::sim::v1::Sim::Stub& stub, grpc::ClientContext* context,
                      grpc::CompletionQueue* queue) {
    return stub.PrepareAsyncStepBatches(context, queue);
  }
  static int steps_in(const Request& batch) {
    return batch.steps_size() + (batch.has_reset() ? 1 : 0);
  }
  template <class Take>
  static void answers_of(Reply& reply, Take take) {
    if (reply.has_reset()) {
      reply.mutable_reset()->set_step(0);
      if (!take(*reply.mutable_reset())) return;
    }
    for (velko::sim::v1::JsonReply& answer : *reply.mutable_answers()) {
      if (!take(answer)) break;
    }
  }
};

// One call of steps (of the `Kind` above), polled on its client's queue. Requests are queued
// and written one after the other; answers are read, in order, for as long as the stream
// lasts, and kept one by one until they are taken (how the sim grouped them does not matter).
// An answer that comes while every step sent has been answered is one that no step asked for:
// it is not kept, nothing more is read, and next() reports it. Used from the event loop's
// thread only.
template <class Kind>
class NumberedStream {
 public:
  using Request = typename Kind::Request;
  using Reply = typename Kind::Reply;
  using Clock = PolledQueue::Clock;

  // How a wait for the next answer ended.
  enum class Next { kAnswer, kUnasked, kEnded, kTimedOut };

  // How long an idle stream may take to end as the sim expects once it is closed.
  static constexpr std::chrono::seconds kCloseGrace{2};

  // Opens the stream. `max_held_bytes`: most bytes of answers that are read before they are
  // taken (one answer is read whatever its size): a sim sent many steps ahead cannot make
  // the client hold many of its largest answers at once.
  NumberedStream(velko::sim::v1::Sim::Stub& stub, PolledQueue& queue, std::size_t max_held_bytes);
  // Ends the stream: an idle one is closed as the sim expects (no more steps), within two
  // seconds; one with steps in progress is cancelled.
  ~NumberedStream();
  NumberedStream(const NumberedStream&) = delete;
  NumberedStream& operator=(const NumberedStream&) = delete;

  // Queues one request; it is written once those before it are.
  void send(Request request);

  // Waits until `deadline` for the oldest answer not yet taken (kAnswer, moved into `answer`),
  // for an answer that no request asked for once those before it are taken (kUnasked;
  // unasked() tells its number), or for the stream's end (kEnded; status() tells how it
  // ended). A cancellation of the awaiting coroutine cancels the stream and raises Interrupted.
  awaitable<Next> next(velko::sim::v1::JsonReply& answer, Clock::time_point deadline);

  // Sends nothing more: requests not yet written are dropped, and the stream is half-closed
  // once the one being written is. Answers are then read to the stream's end.
  void close();

  // Cancels the stream at once and settles its operations.
  void cancel();

  // Expects no answer to the steps sent or queued so far, and sends none of those queued: the
  // sim dropped them, as it does with the steps after the one that ended an episode. An answer
  // to one of them is then one that no step asked for.
  void forget_unanswered();

  // Expects no answer to `steps` of the steps sent or queued: the sim dropped them while the
  // next episode's steps follow them on the stream. Requests are still written (the sim
  // drops what follows an episode's end until the next reset).
  void forget(int steps);

  // Drops the answers that came and were not taken, up to the first that answers a reset
  // (numbered 0): the steps they answer are no longer wanted (the replay stopped the episode
  // before them), and the next episode's answers are kept.
  void drop_answers();

  // The answers held before the first that answers a reset: the held answers of the episode
  // being taken.
  int held_before_reset() const;

  // True once the stream's final status is known.
  bool ended() const { return finished_; }
  const grpc::Status& status() const { return status_; }
  // Steps sent or queued whose answers have not arrived.
  int unanswered() const { return awaited_; }
  // The step number that the first answer no request asked for carried (0 for an unnumbered
  // one), once such an answer came.
  const std::optional<std::uint64_t>& unasked() const { return unasked_; }

 private:
  // One of the stream's operations, as a tag of the queue.
  class Operation final : public QueuedOperation {
   public:
    Operation(NumberedStream* stream, void (NumberedStream::*on_end)(bool ok))
        : stream_(stream), on_end_(on_end) {}
    void finished(bool ok) override { (stream_->*on_end_)(ok); }

   private:
    NumberedStream* stream_;
    void (NumberedStream::*on_end_)(bool ok);
  };

  void started(bool ok);
  void written(bool ok);
  void read(bool ok);
  void status_known(bool ok);
  // Starts the writes, reads and the final status request that are due.
  void pump();
  // Drops the requests not yet written, whose steps will never be answered.
  void drop_unsent();
  // True while one of the stream's operations has not ended.
  bool busy() const { return start_busy_ || write_busy_ || read_busy_ || finish_busy_; }

  PolledQueue& queue_;
  grpc::ClientContext context_;
  std::unique_ptr<grpc::ClientAsyncReaderWriter<Request, Reply>> stream_;
  Operation start_op_{this, &NumberedStream::started};
  Operation write_op_{this, &NumberedStream::written};
  Operation read_op_{this, &NumberedStream::read};
  Operation finish_op_{this, &NumberedStream::status_known};
  std::function<bool()> answer_or_end_;
  std::function<bool()> idle_;
  std::function<bool()> settled_;

  std::deque<Request> unsent_;
  Request writing_;
  Reply reading_;
  std::deque<velko::sim::v1::JsonReply> answers_;
  // The bytes of the answers in `answers_`, and their bound.
  std::size_t held_bytes_ = 0;
  std::size_t max_held_bytes_;
  grpc::Status status_;
  int awaited_ = 0;
  std::optional<std::uint64_t> unasked_;

  bool start_busy_ = true;
  bool write_busy_ = false;
  bool read_busy_ = false;
  bool finish_busy_ = false;
  bool started_ = false;
  bool write_failed_ = false;
  bool closing_ = false;
  bool writes_done_sent_ = false;
  bool reads_ended_ = false;
  bool cancelled_ = false;
  bool finished_ = false;
};

using StepStream = NumberedStream<OneStepAMessage>;
using BatchStream = NumberedStream<BatchesOfSteps>;

}  // namespace velko::sim_connection
