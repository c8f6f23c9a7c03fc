#include "outside/velko_core/sim_step_stream.h"

#include <chrono>
#include <utility>

namespace velko::core {

namespace pb = velko::sim::v1;

StepStream::StepStream(pb::Sim::Stub& stub) {
  stub.async()->StepStream(&context_, this);
  // Steps are started from outside gRPC's reactions: the hold keeps the stream open between
  // them.
  AddHold();
  StartCall();
}

StepStream::~StepStream() {
  std::unique_lock lock(mutex_);
  if (holding_ && !ended_) {
    const bool idle = outstanding_ == 0;
    lock.unlock();
    // An idle stream ends as the sim expects: no more steps. A step in progress is cancelled.
    if (idle) {
      StartWritesDone();
    } else {
      context_.TryCancel();
    }
    lock.lock();
  }
  release_hold(lock);
  if (!finished_.wait_for(lock, std::chrono::seconds(2), [this] { return finished_flag_; })) {
    // A sim that does not end its side: the stream is cancelled, which ends it here at once.
    lock.unlock();
    context_.TryCancel();
    lock.lock();
    finished_.wait(lock, [this] { return finished_flag_; });
  }
}

void StepStream::step(const std::string& action_json, Answered answered) {
  {
    std::lock_guard lock(mutex_);
    answered_ = std::move(answered);
    outstanding_ = 2;
    read_ok_ = false;
  }
  request_.set_action_json(action_json);
  StartRead(&reply_);
  StartWrite(&request_);
}

void StepStream::cancel() { context_.TryCancel(); }

bool StepStream::ended() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

void StepStream::OnWriteDone(bool) {
  std::unique_lock lock(mutex_);
  if (--outstanding_ == 0) settle(lock);
}

void StepStream::OnReadDone(bool ok) {
  std::unique_lock lock(mutex_);
  read_ok_ = ok;
  --outstanding_;
  if (!ok) {
    // The stream has ended; OnDone tells the step why.
    release_hold(lock);
    return;
  }
  if (outstanding_ == 0) settle(lock);
}

void StepStream::OnDone(const grpc::Status& status) {
  std::unique_lock lock(mutex_);
  ended_ = true;
  Answered answered = std::move(answered_);
  answered_ = nullptr;
  lock.unlock();
  if (answered) {
    answered(status.ok() ? grpc::Status(grpc::StatusCode::UNAVAILABLE,
                                        "the sim ended the step stream")
                         : status,
             std::string());
  }
  lock.lock();
  finished_flag_ = true;
  finished_.notify_all();
}

void StepStream::settle(std::unique_lock<std::mutex>& lock) {
  if (!read_ok_ || !answered_) return;
  Answered answered = std::move(answered_);
  answered_ = nullptr;
  std::string answer = std::move(*reply_.mutable_json());
  lock.unlock();
  answered(grpc::Status::OK, std::move(answer));
  lock.lock();
}

void StepStream::release_hold(std::unique_lock<std::mutex>& lock) {
  if (!holding_) return;
  holding_ = false;
  lock.unlock();
  RemoveHold();
  lock.lock();
}

}  // namespace velko::core
