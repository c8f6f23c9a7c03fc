#include "sim_connection/polled_queue.h"

#include <grpc/support/time.h>

#include <algorithm>

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/errors.h"

namespace velko::sim_connection {

namespace asio = boost::asio;

namespace {

// `deadline` on gRPC's monotonic clock, whose origin is its own.
gpr_timespec grpc_deadline(PolledQueue::Clock::time_point deadline) {
  if (deadline == PolledQueue::Clock::time_point::max()) return gpr_inf_future(GPR_CLOCK_MONOTONIC);
  const auto left = deadline - PolledQueue::Clock::now();
  // gRPC waits whole milliseconds: a deadline that has come would still block a millisecond.
  if (left <= PolledQueue::Clock::duration{}) return gpr_inf_past(GPR_CLOCK_MONOTONIC);
  return gpr_time_add(
      gpr_now(GPR_CLOCK_MONOTONIC),
      gpr_time_from_nanos(std::chrono::duration_cast<std::chrono::nanoseconds>(left).count(),
                          GPR_TIMESPAN));
}

}  // namespace

PolledQueue::PolledQueue() : last_turn_(Clock::now()) {}

PolledQueue::~PolledQueue() {
  queue_.Shutdown();
  void* tag = nullptr;
  bool ok = false;
  while (queue_.Next(&tag, &ok)) {
  }
}

bool PolledQueue::handle_one(Clock::time_point deadline) {
  void* tag = nullptr;
  bool ok = false;
  if (queue_.AsyncNext(&tag, &ok, grpc_deadline(deadline)) != grpc::CompletionQueue::GOT_EVENT) {
    return false;
  }
  static_cast<QueuedOperation*>(tag)->finished(ok);
  return true;
}

awaitable<void> PolledQueue::take_turn() {
  auto executor = co_await asio::this_coro::executor;
  co_await asio::post(executor, asio::use_awaitable);
  last_turn_ = Clock::now();
  asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) throw Interrupted{};
}

awaitable<bool> PolledQueue::wait(const std::function<bool()>& done, Clock::time_point deadline) {
  bool turn_due = false;
  while (true) {
    Clock::time_point now = Clock::now();
    if (turn_due || now - last_turn_ >= kTurnInterval) {
      std::exception_ptr cancelled;
      try {
        co_await take_turn();
      } catch (...) {
        cancelled = as_interrupt_if_cancelled(std::current_exception());
      }
      if (cancelled) std::rethrow_exception(cancelled);
      now = Clock::now();
    }
    if (done()) co_return true;
    if (now >= deadline) co_return false;
    if (clients_ > 1) {
      // The event may be another client's, and another coroutine may be ready to run: the
      // queue is looked at without blocking the event loop (a wait of gRPC's lasts a whole
      // millisecond at least), and while nothing comes the loop sleeps between looks, briefly
      // at first and longer the longer nothing comes.
      if (handle_one(now)) {
        idle_wait_ = kSharedFirstWait;
        turn_due = true;
        continue;
      }
      std::exception_ptr cancelled;
      try {
        co_await sleep_for(std::min(idle_wait_, deadline - now));
      } catch (...) {
        cancelled = as_interrupt_if_cancelled(std::current_exception());
      }
      if (cancelled) std::rethrow_exception(cancelled);
      last_turn_ = Clock::now();
      idle_wait_ = std::min(idle_wait_ * 2, kSharedLastWait);
      turn_due = false;
    } else {
      handle_one(std::min(deadline, last_turn_ + kTurnInterval));
    }
  }
}

void PolledQueue::settle(const std::function<bool()>& done) {
  while (!done()) handle_one(Clock::time_point::max());
}

bool PolledQueue::settle_until(const std::function<bool()>& done, Clock::time_point deadline) {
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    handle_one(deadline);
  }
  return true;
}

}  // namespace velko::sim_connection
