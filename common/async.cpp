#include "common/async.h"

#include <csignal>
#include <vector>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/system_error.hpp>

namespace velko {

namespace asio = boost::asio;

asio::thread_pool& worker_pool() {
  static asio::thread_pool pool(2);
  return pool;
}

std::chrono::steady_clock::duration seconds_to_duration(double seconds) {
  if (!(seconds > 0)) return std::chrono::steady_clock::duration::zero();
  // Beyond a century is as good as forever and keeps the arithmetic in range.
  seconds = std::min(seconds, 3.2e9);
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

awaitable<void> sleep_for(std::chrono::steady_clock::duration duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  boost::system::error_code ec;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  if (ec == asio::error::operation_aborted) throw Interrupted{};
  if (ec) throw boost::system::system_error(ec);
}

awaitable<void> sleep_seconds(double seconds) { co_await sleep_for(seconds_to_duration(seconds)); }

awaitable<void> run_all(std::size_t n, std::function<awaitable<void>(std::size_t)> body) {
  if (n == 0) co_return;
  auto executor = co_await asio::this_coro::executor;
  using Operation = decltype(asio::co_spawn(executor, body(0), asio::deferred));
  std::vector<Operation> operations;
  operations.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    operations.push_back(asio::co_spawn(executor, body(i), asio::deferred));
  }
  auto [order, errors] =
      co_await asio::experimental::make_parallel_group(std::move(operations))
          .async_wait(asio::experimental::wait_for_one_error(), asio::use_awaitable);
  // The first to end with an error is the one that cut the others short.
  for (std::size_t index : order) {
    if (errors[index]) detail::rethrow_translated(errors[index]);
  }
}

namespace detail {

awaitable<bool> time_out(double seconds) {
  asio::steady_timer timer(co_await asio::this_coro::executor, seconds_to_duration(seconds));
  boost::system::error_code ec;
  bool cancelled_before = false;
  try {
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  } catch (const boost::system::system_error&) {
    // Cancelled before the wait began: the await itself raised it.
    cancelled_before = true;
  }
  co_return !cancelled_before && !ec;
}

void rethrow_translated(std::exception_ptr error) {
  std::rethrow_exception(as_interrupt_if_cancelled(std::move(error)));
}

void run_blocking(std::function<awaitable<void>()> body) {
  asio::io_context io;
  asio::cancellation_signal cancel;
  // A closed terminal (SIGHUP) ends a command as Ctrl-C does: its clean-up still runs.
  asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
  bool done = false;
  int first_signal = 0;
  std::exception_ptr failure;

  std::function<void()> arm = [&] {
    signals.async_wait([&](const boost::system::error_code& ec, int signal) {
      if (ec || done) return;
      if (!first_signal) first_signal = signal;
      cancel.emit(asio::cancellation_type::all);
      arm();
    });
  };
  arm();

  // A cancellation is kept until the body resets it, and every await raises it meanwhile:
  // one that comes while no operation is pending (its completion queued, say) is not lost
  // but surfaces at the body's next await.
  auto guarded = [&]() -> awaitable<void> {
    co_await asio::this_coro::reset_cancellation_state(asio::enable_total_cancellation());
    co_await body();
  };
  asio::co_spawn(io, guarded(),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr error) {
                   done = true;
                   failure = error;
                   signals.cancel();
                 }));
  io.run();
  if (failure && first_signal && is_interrupt(failure)) throw Interrupted{first_signal};
  if (failure) rethrow_translated(failure);
}

}  // namespace detail
}  // namespace velko
