// Asynchronous helpers over Boost.Asio coroutines: sleeping, time limits, blocking work on a
// worker thread, and running an asynchronous body to completion with SIGINT/SIGTERM turned
// into Interrupted.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/errors.h"

namespace velko {

using boost::asio::awaitable;

// The small pool on which blocking work runs.
boost::asio::thread_pool& worker_pool();

// Sleeps without blocking the event loop; a cancellation raises Interrupted.
awaitable<void> sleep_for(std::chrono::steady_clock::duration duration);
awaitable<void> sleep_seconds(double seconds);

std::chrono::steady_clock::duration seconds_to_duration(double seconds);

namespace detail {

// The result of an operation, or its error, as a value. (Not a variant: the `||` of Asio
// flattens variants.)
template <class T>
struct Outcome {
  using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
  explicit Outcome(std::exception_ptr e) : error(std::move(e)) {}
  explicit Outcome(Value v) : value(std::move(v)) {}
  std::optional<Value> value;
  std::exception_ptr error;
};

// Completes with the operation's outcome and never fails: the `||` of Asio waits for one
// operation to *succeed*, so an operation that failed would otherwise wait for the timer and
// an interrupted pair would surface as multiple_exceptions.
// A cancellation that reaches `op` between two of its awaits is raised at its next await, so
// that a polling operation cannot miss it.
template <class T>
awaitable<Outcome<T>> captured(awaitable<T> op) {
  std::exception_ptr error;
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(op);
      co_return Outcome<T>(std::monostate());
    } else {
      co_return Outcome<T>(co_await std::move(op));
    }
  } catch (...) {
    error = std::current_exception();
  }
  co_return Outcome<T>(error);
}

// Waits `seconds`: true when the time ran out, false when cancelled first (before the wait
// began included). Unlike sleep_for it does not throw when cancelled, which a time limit does
// on every call that beats it.
awaitable<bool> time_out(double seconds);

// Turns the cancellation error of an Asio operation into Interrupted.
[[noreturn]] void rethrow_translated(std::exception_ptr error);

void run_blocking(std::function<awaitable<void>()> body);

}  // namespace detail

// Awaits `op` for at most `seconds`. When the time runs out, `op` is cancelled (it must stop
// at once) and TimeoutError(message) is raised; an error of `op` is raised as soon as it
// comes.
template <class T>
awaitable<T> with_timeout(awaitable<T> op, double seconds, std::string message) {
  using namespace boost::asio::experimental::awaitable_operators;
  std::exception_ptr failure;
  try {
    auto outcome = co_await (detail::captured(std::move(op)) || detail::time_out(seconds));
    if (outcome.index() == 1 && !std::get<1>(outcome)) {
      // The timer was cancelled before either side finished: the whole call was cancelled.
      failure = std::make_exception_ptr(Interrupted{});
    } else if (outcome.index() == 0) {
      auto& result = std::get<0>(outcome);
      if (result.error) {
        failure = result.error;
      } else if constexpr (std::is_void_v<T>) {
        co_return;
      } else {
        co_return std::move(*result.value);
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) detail::rethrow_translated(failure);
  throw TimeoutError(message);
}

// Runs body(0) .. body(n - 1) side by side on this coroutine's executor and completes when
// every one has ended. The first to fail cancels the others (each sees Interrupted at its
// current co_await) and its error is raised once all have ended; a cancellation of the caller
// reaches every one. A body that must not be cut short resets its cancellation state itself.
awaitable<void> run_all(std::size_t n, std::function<awaitable<void>(std::size_t)> body);

// Runs `fn` on the worker pool and awaits its result; the event loop stays free meanwhile.
// A cancellation requests a stop through the token, waits for `fn` to return, then raises
// Interrupted.
template <class T>
awaitable<T> run_on_worker(std::function<T(std::stop_token)> fn);

// Runs an asynchronous body to completion on a fresh event loop and returns its result or
// rethrows its error. SIGINT, SIGTERM and SIGHUP cancel the body; the cancellation surfaces
// at its current co_await as Interrupted, and the body ends with Interrupted naming the
// first of those signals.
template <class Fn>
auto async_to_sync(Fn fn) {
  return [fn = std::move(fn)](auto&&... args) {
    using Awaitable = std::invoke_result_t<Fn, decltype(args)...>;
    using T = typename Awaitable::value_type;
    if constexpr (std::is_void_v<T>) {
      detail::run_blocking([&]() -> awaitable<void> { co_await fn(args...); });
    } else {
      std::optional<T> result;
      detail::run_blocking([&]() -> awaitable<void> { result.emplace(co_await fn(args...)); });
      return std::move(*result);
    }
  };
}

}  // namespace velko

#include "common/async_impl.h"
