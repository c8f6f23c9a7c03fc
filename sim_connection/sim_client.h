// The sim client: velko's side of the sim connection, over gRPC on the loopback interface.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/async.h"
#include "main/dataset_replay/sim_connection.h"

namespace velko::sim_connection {

// Most bytes of one answer that the client accepts from a sim, whatever the user allows.
inline constexpr std::size_t kMaxSimAnswerBytes = dataset_replay::MAX_ANSWER_BYTES_LIMIT;
// Answers larger than this are read in two passes (json_text::parse_sized): the first learns
// the size of every list (and the size of the observation, which may be refused then), the
// second builds the value at its size, so that the value takes no more than it holds.
inline constexpr std::size_t kSizedReadBytes = std::size_t{64} << 10;
// Most bytes of a sim's error message that the client keeps.
inline constexpr std::size_t kMaxSimMessageBytes = 4096;

// A sim call that failed inside the sim or on the way to it; the message names the call.
class SimError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PolledQueue;

// A connection to one serving sim. Every call is cancellable: a cancellation stops the call
// and surfaces as Interrupted. Calls are made one at a time, from the thread of the event loop
// that awaits them, which also reads their answers (see polled_queue.h).
class GrpcSimClient : public dataset_replay::SimClient {
 public:
  struct Impl;

  // `queue`: the completion queue that the client shares with the other clients of its
  // connection (none: one of its own).
  explicit GrpcSimClient(dataset_replay::ClientOptions options,
                         std::shared_ptr<PolledQueue> queue = nullptr);
  ~GrpcSimClient() override;
  GrpcSimClient(const GrpcSimClient&) = delete;
  GrpcSimClient& operator=(const GrpcSimClient&) = delete;

  awaitable<void> init() override;
  awaitable<void> make() override;
  awaitable<void> close() override;
  awaitable<boost::json::value> get_mappings() override;
  awaitable<boost::json::value> sensor_space_info() override;
  awaitable<boost::json::value> action_space_info() override;
  awaitable<std::vector<boost::json::value>> reset(dataset_replay::ResetArgs args = {}) override;
  awaitable<std::vector<boost::json::value>> step(boost::json::value action) override;
  // Up to `window` steps ahead of their answers, on a stream of the episode's own, when the
  // sim announced that it takes them (after init()); else one at a time.
  std::unique_ptr<dataset_replay::EpisodeSteps> episode_steps(int window,
                                                              double call_timeout_s) override;
  bool takes_steps_ahead() const override;
  // Closes the stream that carried steps one at a time, reading it to its end.
  awaitable<void> end_steps() override;
  void bound_observations(std::size_t variables) override;
  // In batches on a stream of the episode's own when the sim announced them (after init()),
  // at most as many steps to a batch as it announced.
  std::unique_ptr<dataset_replay::EpisodeSteps> episode_batches(
      dataset_replay::StepBatching batching, double call_timeout_s) override;
  bool takes_batches() const override;
  // In batches on one stream that the client keeps from episode to episode, each episode's
  // reset in its first batch, when the sim announced resets in batches (after init()).
  std::unique_ptr<dataset_replay::EpisodeSteps> episode_with_reset(
      dataset_replay::StepBatching batching, double call_timeout_s,
      dataset_replay::ResetArgs args) override;
  bool takes_episodes_ahead() const override;

  // True when the sim answers within `timeout_s` (any answer, an error status included);
  // false when it cannot be reached or stays silent that long.
  awaitable<bool> ping(double timeout_s);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace velko::sim_connection
