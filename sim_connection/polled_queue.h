// A gRPC completion queue that the event loop's own thread polls while a coroutine awaits a
// call of the sim. The thread that waits for the sim's answer is the one that reads it from
// the socket, as in gRPC's synchronous API: a step costs no hop between threads and no timer.
//
// gRPC's callback API completed each operation on one of gRPC's threads, and the completion
// was then posted to the event loop: on this 2-core machine a step cost 3.5 to 4.5 context
// switches and about twice the CPU of a synchronous stream, and once the callback API had
// been used in a process its threads took part in every poll, slowing the synchronous calls
// of that process too.
#pragma once

#include <grpcpp/completion_queue.h>

#include <chrono>
#include <functional>

#include "common/async.h"

namespace velko::sim_connection {

// An operation started on a PolledQueue: its address is the tag given to gRPC, and
// `finished` runs on the polling thread when the operation ends.
class QueuedOperation {
 public:
  virtual void finished(bool ok) = 0;

 protected:
  ~QueuedOperation() = default;
};

// The completion queue of one sim client, or of the clients of a connection that may serve
// several sims at once: whichever of their coroutines polls it handles every event. With
// several clients it looks at the queue without blocking, and sleeps on the event loop between
// looks, so that another client's coroutine that became ready meanwhile goes on at once. Every
// operation started on it must have ended (its `finished` run) before the operation's owner goes
// away: after a cancellation, an owner settles its operations with `settle`.
class PolledQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // Longest time that the event loop goes without a turn while a call is awaited: the delay
  // within which an interrupt, a timer or the sim's output is seen.
  static constexpr Clock::duration kTurnInterval = std::chrono::milliseconds(10);
  // While several clients use the queue, the event loop sleeps between looks at it: first
  // this long, then twice as long each time nothing came, up to kSharedLastWait.
  static constexpr Clock::duration kSharedFirstWait = std::chrono::microseconds(20);
  static constexpr Clock::duration kSharedLastWait = std::chrono::microseconds(500);

  PolledQueue();
  // Shuts the queue down and drops what is left in it.
  ~PolledQueue();
  PolledQueue(const PolledQueue&) = delete;
  PolledQueue& operator=(const PolledQueue&) = delete;

  grpc::CompletionQueue* get() { return &queue_; }

  // A client starts or stops using the queue.
  void join() { ++clients_; }
  void leave() { --clients_; }

  // Handles the queue's events until `done()` is true (true) or `deadline` passes (false).
  // The event loop gets a turn at least every kTurnInterval; a cancellation of the awaiting
  // coroutine is raised there as Interrupted, and the caller then cancels its operations and
  // settles them.
  awaitable<bool> wait(const std::function<bool()>& done, Clock::time_point deadline);

  // Handles events, without giving the event loop a turn, until `done()` is true: for
  // operations that end at once (cancelled ones) or very soon.
  void settle(const std::function<bool()>& done);

  // As settle, but for at most until `deadline`; false when the deadline passed first.
  bool settle_until(const std::function<bool()>& done, Clock::time_point deadline);

 private:
  // Handles one event that comes before `deadline`; false when none came.
  bool handle_one(Clock::time_point deadline);
  // Lets the event loop run what is ready; raises Interrupted when the awaiting coroutine
  // was cancelled.
  awaitable<void> take_turn();

  grpc::CompletionQueue queue_;
  Clock::time_point last_turn_;
  // How long the event loop sleeps before its next look while several clients use the queue.
  Clock::duration idle_wait_ = kSharedFirstWait;
  // Clients that use the queue now.
  int clients_ = 0;
};

}  // namespace velko::sim_connection
