// The steps of a sim in batches over one bidirectional gRPC stream: several steps of an
// episode travel in one message, and their answers in one or a few.
#pragma once

#include <grpcpp/grpcpp.h>

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

// One StepBatches call, polled on its client's queue. Batches are queued and written one after
// the other; replies are read while steps are unanswered (and after close(), to the stream's
// end), and their answers kept, one by one, until they are taken. Used from the event loop's
// thread only.
class BatchStream {
 public:
  using Clock = PolledQueue::Clock;

  // How a wait for the next answer ended.
  enum class Next { kAnswer, kUnasked, kEnded, kTimedOut };

  // Opens the stream. `max_held_bytes`: most bytes of answers that are read before they are
  // taken (one reply is read whatever its size).
  BatchStream(velko::sim::v1::Sim::Stub& stub, PolledQueue& queue, std::size_t max_held_bytes);
  // Cancels the stream when it has not ended.
  ~BatchStream();
  BatchStream(const BatchStream&) = delete;
  BatchStream& operator=(const BatchStream&) = delete;

  // Queues one batch; it is written once those before it are.
  void send(velko::sim::v1::StepBatch batch);

  // Waits until `deadline` for the oldest answer not yet taken (kAnswer, moved into `answer`),
  // for an answer that came when every step sent had its answer (kUnasked, once those before
  // it are taken; unasked() tells its number), or for the stream's end (kEnded; status() tells how it ended). A cancellation of the
  // awaiting coroutine cancels the stream and raises Interrupted.
  awaitable<Next> next(velko::sim::v1::JsonReply& answer, Clock::time_point deadline);

  // Sends nothing more: batches not yet written are dropped, and the stream is half-closed
  // once the one being written is. Replies are then read to the stream's end.
  void close();

  // Cancels the stream at once and settles its operations.
  void cancel();

  bool ended() const { return finished_; }
  const grpc::Status& status() const { return status_; }
  // Steps sent or queued whose answers have not arrived.
  int unanswered() const { return awaited_; }
  // The number of the first answer that no step asked for; nothing is read after it.
  const std::optional<std::uint64_t>& unasked() const { return unasked_; }

 private:
  // One of the stream's operations, as a tag of the queue.
  class Operation final : public QueuedOperation {
   public:
    Operation(BatchStream* stream, void (BatchStream::*on_end)(bool ok))
        : stream_(stream), on_end_(on_end) {}
    void finished(bool ok) override { (stream_->*on_end_)(ok); }

   private:
    BatchStream* stream_;
    void (BatchStream::*on_end_)(bool ok);
  };

  void started(bool ok);
  void written(bool ok);
  void read(bool ok);
  void status_known(bool ok);
  // Starts the writes, reads and the final status request that are due.
  void pump();
  bool busy() const { return start_busy_ || write_busy_ || read_busy_ || finish_busy_; }

  PolledQueue& queue_;
  grpc::ClientContext context_;
  std::unique_ptr<grpc::ClientAsyncReaderWriter<velko::sim::v1::StepBatch,
                                                velko::sim::v1::StepBatchReply>>
      stream_;
  Operation start_op_{this, &BatchStream::started};
  Operation write_op_{this, &BatchStream::written};
  Operation read_op_{this, &BatchStream::read};
  Operation finish_op_{this, &BatchStream::status_known};
  std::function<bool()> answer_or_end_;
  std::function<bool()> settled_;

  std::deque<velko::sim::v1::StepBatch> unsent_;
  velko::sim::v1::StepBatch writing_;
  velko::sim::v1::StepBatchReply reading_;
  std::deque<velko::sim::v1::JsonReply> answers_;
  std::size_t held_bytes_ = 0;
  std::size_t max_held_bytes_;
  std::optional<std::uint64_t> unasked_;
  grpc::Status status_;
  int awaited_ = 0;

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

}  // namespace velko::sim_connection
