// Asynchronous helpers over Boost.Asio coroutines: sleeping, time limits, blocking work on a
// worker thread, and running an asynchronous body to completion with SIGINT/SIGTERM turned
// into Interrupted.
#pragma once

#include <chrono>
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

template <class T>
awaitable<T> shielded(awaitable<T> op) {
  // The operation stops through its own cancellation handling, not at every co_await.
  co_await boost::asio::this_coro::throw_if_cancelled(false);
  co_return co_await std::move(op);
}

// Turns the cancellation error of an Asio operation into Interrupted.
[[noreturn]] void rethrow_translated(std::exception_ptr error);

void run_blocking(std::function<awaitable<void>()> body);

}  // namespace detail

// Awaits `op` for at most `seconds`. When the time runs out, `op` is cancelled (it must stop
// at once) and TimeoutError(message) is raised.
template <class T>
awaitable<T> with_timeout(awaitable<T> op, double seconds, std::string message) {
  using namespace boost::asio::experimental::awaitable_operators;
  std::exception_ptr failure;
  try {
    auto outcome = co_await (detail::shielded(std::move(op)) ||
                             detail::shielded(sleep_seconds(seconds)));
    if (outcome.index() == 0) {
      if constexpr (std::is_void_v<T>) {
        co_return;
      } else {
        co_return std::move(std::get<0>(outcome));
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) detail::rethrow_translated(failure);
  throw TimeoutError(message);
}

// Runs `fn` on the worker pool and awaits its result; the event loop stays free meanwhile.
// A cancellation requests a stop through the token, waits for `fn` to return, then raises
// Interrupted.
template <class T>
awaitable<T> run_on_worker(std::function<T(std::stop_token)> fn);

// Runs an asynchronous body to completion on a fresh event loop and returns its result or
// rethrows its error. SIGINT and SIGTERM cancel the body; the cancellation surfaces at its
// current co_await as Interrupted.
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
