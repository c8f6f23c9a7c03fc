// Template definitions of async.h.
#pragma once

#include <memory>

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/dispatch.hpp>

namespace velko {

template <class T>
awaitable<T> run_on_worker(std::function<T(std::stop_token)> fn) {
  auto executor = co_await boost::asio::this_coro::executor;
  auto stop = std::make_shared<std::stop_source>();
  using Result = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
  auto outcome = std::make_shared<std::optional<Result>>();
  auto initiation = [&](auto handler) {
    auto slot = boost::asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) {
      slot.assign([stop](boost::asio::cancellation_type) { stop->request_stop(); });
    }
    auto handler_executor = boost::asio::get_associated_executor(handler, executor);
    boost::asio::post(worker_pool(), [handler = std::move(handler), handler_executor, fn, stop,
                                      outcome]() mutable {
      std::exception_ptr error;
      try {
        if constexpr (std::is_void_v<T>) {
          fn(stop->get_token());
          outcome->emplace();
        } else {
          outcome->emplace(fn(stop->get_token()));
        }
      } catch (...) {
        error = std::current_exception();
      }
      // Complete on the event loop, where the cancellation slot lives.
      boost::asio::dispatch(handler_executor, [handler = std::move(handler), error]() mutable {
        auto slot = boost::asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected()) slot.clear();
        std::move(handler)(error);
      });
    });
  };
  std::exception_ptr error;
  try {
    co_await boost::asio::async_initiate<decltype(boost::asio::use_awaitable),
                                         void(std::exception_ptr)>(initiation,
                                                                   boost::asio::use_awaitable);
  } catch (...) {
    error = std::current_exception();
  }
  if (stop->stop_requested()) throw Interrupted{};
  if (error) std::rethrow_exception(error);
  if constexpr (std::is_void_v<T>) {
    co_return;
  } else {
    co_return std::move(**outcome);
  }
}

}  // namespace velko
