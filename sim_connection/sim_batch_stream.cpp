#include "sim_connection/sim_batch_stream.h"

#include <exception>
#include <utility>

namespace velko::sim_connection {

namespace pb = velko::sim::v1;

BatchStream::BatchStream(pb::Sim::Stub& stub, PolledQueue& queue, std::size_t max_held_bytes)
    : queue_(queue), max_held_bytes_(max_held_bytes) {
  answer_or_end_ = [this] { return !answers_.empty() || unasked_ || finished_; };
  settled_ = [this] { return !busy(); };
  stream_ = stub.PrepareAsyncStepBatches(&context_, queue_.get());
  stream_->StartCall(&start_op_);
}

BatchStream::~BatchStream() {
  if (busy() || !finished_) cancel();
}

void BatchStream::send(pb::StepBatch batch) {
  awaited_ += batch.steps_size();
  unsent_.push_back(std::move(batch));
  pump();
}

awaitable<BatchStream::Next> BatchStream::next(pb::JsonReply& answer,
                                               Clock::time_point deadline) {
  std::exception_ptr failure;
  try {
    co_await queue_.wait(answer_or_end_, deadline);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    cancel();
    std::rethrow_exception(failure);
  }
  if (!answers_.empty()) {
    answer = std::move(answers_.front());
    answers_.pop_front();
    held_bytes_ -= answer.json().size();
    pump();
    co_return Next::kAnswer;
  }
  if (unasked_) co_return Next::kUnasked;
  co_return finished_ ? Next::kEnded : Next::kTimedOut;
}

void BatchStream::close() {
  if (closing_) return;
  closing_ = true;
  for (const pb::StepBatch& batch : unsent_) awaited_ -= batch.steps_size();
  unsent_.clear();
  pump();
}

void BatchStream::cancel() {
  if (!busy() && finished_) return;
  cancelled_ = true;
  unsent_.clear();
  context_.TryCancel();
  // The operations in progress end at once; then the final status is asked for.
  queue_.settle([this] { return !start_busy_ && !write_busy_ && !read_busy_; });
  if (!finished_ && !finish_busy_) {
    finish_busy_ = true;
    stream_->Finish(&status_, &finish_op_);
  }
  queue_.settle(settled_);
}

void BatchStream::started(bool ok) {
  start_busy_ = false;
  started_ = true;
  if (!ok) {
    // The call could not start; its status tells why.
    write_failed_ = true;
    reads_ended_ = true;
  }
  pump();
}

void BatchStream::written(bool ok) {
  write_busy_ = false;
  if (!ok) write_failed_ = true;
  pump();
}

void BatchStream::read(bool ok) {
  read_busy_ = false;
  if (ok) {
    // Each answer is taken on its own; how the sim grouped them does not matter.
    for (pb::JsonReply& answer : *reading_.mutable_answers()) {
      if (awaited_ == 0) {
        // Every step sent had its answer: this one answers none, and nothing more is read.
        unasked_ = answer.step();
        break;
      }
      held_bytes_ += answer.json().size();
      answers_.push_back(std::move(answer));
      --awaited_;
    }
    reading_.Clear();
  } else {
    reads_ended_ = true;
  }
  pump();
}

void BatchStream::status_known(bool) {
  finish_busy_ = false;
  finished_ = true;
}

void BatchStream::pump() {
  if (!started_ || cancelled_) return;
  if (!write_busy_ && !write_failed_) {
    if (!unsent_.empty()) {
      writing_ = std::move(unsent_.front());
      unsent_.pop_front();
      write_busy_ = true;
      grpc::WriteOptions options;
      if (!unsent_.empty()) options.set_buffer_hint();
      stream_->Write(writing_, options, &write_op_);
    } else if (closing_ && !writes_done_sent_) {
      writes_done_sent_ = true;
      write_busy_ = true;
      stream_->WritesDone(&write_op_);
    }
  }
  // Replies are read while answers are due, and after close() to the end, so that an answer
  // the sim should not have sent is seen; while those not yet taken hold max_held_bytes_, no
  // more.
  if (!read_busy_ && !reads_ended_ && !unasked_ && (awaited_ > 0 || closing_) &&
      (answers_.empty() || held_bytes_ < max_held_bytes_)) {
    read_busy_ = true;
    stream_->Read(&reading_, &read_op_);
  }
  if (reads_ended_ && !finished_ && !finish_busy_) {
    finish_busy_ = true;
    stream_->Finish(&status_, &finish_op_);
  }
}

}  // namespace velko::sim_connection
