// The steps of a sim over one bidirectional gRPC stream, one step at a time: a step costs a
// message each way instead of a whole call.
#pragma once

#include <grpcpp/grpcpp.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "proto/sim.grpc.pb.h"

namespace velko::core {

// One open step stream. Steps are made one at a time; once the stream has ended (an error
// status, a cancellation, a sim that ended it), steps go to a new stream.
class StepStream final
    : public grpc::ClientBidiReactor<velko::sim::v1::StepRequest, velko::sim::v1::JsonReply> {
 public:
  // How a step ended: the answer's text when `status` is OK.
  using Answered = std::function<void(const grpc::Status& status, std::string answer)>;

  // Opens the stream.
  explicit StepStream(velko::sim::v1::Sim::Stub& stub);
  // Ends the stream (cancelling a step in progress) and waits for gRPC to let go of it.
  ~StepStream() override;
  StepStream(const StepStream&) = delete;
  StepStream& operator=(const StepStream&) = delete;

  // Sends one action. `answered` runs once, on one of gRPC's threads. Only after the previous
  // step was answered, and only while the stream has not ended.
  void step(const std::string& action_json, Answered answered);
  // Stops the step in progress and ends the stream; from any thread.
  void cancel();
  // True once the stream has ended.
  bool ended() const;

  void OnWriteDone(bool ok) override;
  void OnReadDone(bool ok) override;
  void OnDone(const grpc::Status& status) override;

 private:
  // Answers the step once both its write and its read are done. Called with the lock held;
  // releases it.
  void settle(std::unique_lock<std::mutex>& lock);
  // Lets gRPC end the stream once nothing more will be started on it.
  void release_hold(std::unique_lock<std::mutex>& lock);

  grpc::ClientContext context_;
  velko::sim::v1::StepRequest request_;
  velko::sim::v1::JsonReply reply_;

  mutable std::mutex mutex_;
  std::condition_variable finished_;
  Answered answered_;
  // The write and the read of the step in progress that have not completed.
  int outstanding_ = 0;
  bool read_ok_ = false;
  bool holding_ = true;
  bool ended_ = false;
  bool finished_flag_ = false;
};

}  // namespace velko::core
