#include "sim_connection/sim_step_stream.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "common/errors.h"

namespace velko::sim_connection {

namespace pb = velko::sim::v1;

template <class Kind>
NumberedStream<Kind>::NumberedStream(pb::Sim::Stub& stub, PolledQueue& queue,
                                     std::size_t max_held_bytes)
    : queue_(queue), max_held_bytes_(max_held_bytes) {
  answer_or_end_ = [this] { return !answers_.empty() || unasked_ || finished_; };
  idle_ = [this] { return finished_ && !busy(); };
  settled_ = [this] { return !busy(); };
  stream_ = Kind::prepare(stub, &context_, queue_.get());
  stream_->StartCall(&start_op_);
}

template <class Kind>
NumberedStream<Kind>::~NumberedStream() {
  if (!finished_ && !cancelled_) {
    // An idle stream ends as the sim expects: no more steps.
    if (started_ && awaited_ == 0 && unsent_.empty() && !write_failed_ && !unasked_) {
      close();
      queue_.settle_until(idle_, Clock::now() + kCloseGrace);
    }
  }
  // A stream that is not over yet (one that stopped reading at an unasked answer included) is
  // cancelled.
  if (busy() || !finished_) cancel();
}

template <class Kind>
void NumberedStream<Kind>::send(Request request) {
  awaited_ += Kind::steps_in(request);
  unsent_.push_back(std::move(request));
  pump();
}

template <class Kind>
awaitable<typename NumberedStream<Kind>::Next> NumberedStream<Kind>::next(
    pb::JsonReply& answer, Clock::time_point deadline) {
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

// The steps of the requests not yet written, which will never be answered.
template <class Kind>
void NumberedStream<Kind>::drop_unsent() {
  for (const Request& request : unsent_) awaited_ -= Kind::steps_in(request);
  unsent_.clear();
}

template <class Kind>
void NumberedStream<Kind>::close() {
  if (closing_) return;
  closing_ = true;
  drop_unsent();
  pump();
}

template <class Kind>
void NumberedStream<Kind>::forget_unanswered() {
  drop_unsent();
  awaited_ = 0;
}

template <class Kind>
void NumberedStream<Kind>::forget(int steps) {
  awaited_ -= std::clamp(steps, 0, awaited_);
}

template <class Kind>
void NumberedStream<Kind>::drop_answers() {
  while (!answers_.empty() && answers_.front().step() != 0) {
    held_bytes_ -= answers_.front().json().size();
    answers_.pop_front();
  }
  pump();
}

template <class Kind>
int NumberedStream<Kind>::held_before_reset() const {
  int held = 0;
  for (const pb::JsonReply& answer : answers_) {
    if (answer.step() == 0) break;
    ++held;
  }
  return held;
}

template <class Kind>
void NumberedStream<Kind>::cancel() {
  if (!busy() && finished_) return;
  cancelled_ = true;
  drop_unsent();
  context_.TryCancel();
  // The operations in progress end at once; then the final status is asked for.
  queue_.settle([this] { return !start_busy_ && !write_busy_ && !read_busy_; });
  if (!finished_ && !finish_busy_) {
    finish_busy_ = true;
    stream_->Finish(&status_, &finish_op_);
  }
  queue_.settle(settled_);
}

template <class Kind>
void NumberedStream<Kind>::started(bool ok) {
  start_busy_ = false;
  started_ = true;
  if (!ok) {
    // The call could not start; its status tells why.
    write_failed_ = true;
    reads_ended_ = true;
  }
  pump();
}

template <class Kind>
void NumberedStream<Kind>::written(bool ok) {
  write_busy_ = false;
  if (!ok) write_failed_ = true;
  pump();
}

template <class Kind>
void NumberedStream<Kind>::read(bool ok) {
  read_busy_ = false;
  if (ok) {
    Kind::answers_of(reading_, [this](pb::JsonReply& answer) {
      if (awaited_ == 0) {
        // Every step sent had its answer: this one answers none, and the stream is not read on.
        unasked_ = answer.step();
        return false;
      }
      held_bytes_ += answer.json().size();
      answers_.push_back(std::move(answer));
      --awaited_;
      return true;
    });
    reading_.Clear();
  } else {
    reads_ended_ = true;
  }
  pump();
}

template <class Kind>
void NumberedStream<Kind>::status_known(bool) {
  finish_busy_ = false;
  finished_ = true;
}

template <class Kind>
void NumberedStream<Kind>::pump() {
  if (!started_ || cancelled_) return;
  if (!write_busy_ && !write_failed_) {
    if (!unsent_.empty()) {
      writing_ = std::move(unsent_.front());
      unsent_.pop_front();
      write_busy_ = true;
      // Requests queued together leave together: all but the last may wait in gRPC's buffer
      // for the last, which sends them.
      grpc::WriteOptions options;
      if (!unsent_.empty()) options.set_buffer_hint();
      stream_->Write(writing_, options, &write_op_);
    } else if (closing_ && !writes_done_sent_) {
      writes_done_sent_ = true;
      write_busy_ = true;
      stream_->WritesDone(&write_op_);
    }
  }
  // Answers are read whether or not some are due, so that an answer the sim should not have
  // sent is seen, up to the first such answer; while those not yet taken hold max_held_bytes_,
  // no more.
  if (!read_busy_ && !reads_ended_ && !unasked_ &&
      (answers_.empty() || held_bytes_ < max_held_bytes_)) {
    read_busy_ = true;
    stream_->Read(&reading_, &read_op_);
  }
  if (reads_ended_ && !finished_ && !finish_busy_) {
    finish_busy_ = true;
    stream_->Finish(&status_, &finish_op_);
  }
}

template class NumberedStream<OneStepAMessage>;
template class NumberedStream<BatchesOfSteps>;

}  // namespace velko::sim_connection
