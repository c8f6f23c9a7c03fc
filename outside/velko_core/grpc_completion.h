// Awaiting work that ends on another thread (one of gRPC's): its end is carried back to the
// awaiting coroutine's event loop, and a cancellation of the coroutine stops the work.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "common/async.h"

namespace velko::core {

// Called once, on any thread, when the work has ended. What `keep` holds is let go on the
// event loop before the awaiting coroutine resumes, never on the calling thread: letting go
// of a gRPC call's last reference on one of gRPC's threads can end its channel there.
using Done = std::function<void(std::shared_ptr<void> keep)>;

// Starts the work with `start(done)` and completes once `done` has been called. A
// cancellation of the awaiting coroutine calls `cancel()` on the event loop; the work must
// then end soon (and still call `done`).
template <class Start, class Cancel>
awaitable<void> await_completion(Start start, Cancel cancel) {
  namespace asio = boost::asio;
  auto initiation = [start = std::move(start), cancel = std::move(cancel)](auto handler) mutable {
    using Handler = decltype(handler);
    auto slot = asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) {
      slot.assign([cancel](asio::cancellation_type) mutable { cancel(); });
    }
    auto executor = asio::get_associated_executor(handler);
    // std::function needs a copyable target; the handler itself is move-only.
    auto shared = std::make_shared<std::optional<Handler>>(std::move(handler));
    auto work = std::make_shared<asio::executor_work_guard<decltype(executor)>>(executor);
    start(Done([shared, work, executor](std::shared_ptr<void> keep) mutable {
      asio::post(executor, [shared = std::move(shared), work = std::move(work),
                            keep = std::move(keep)]() mutable {
        keep.reset();
        Handler handler = std::move(**shared);
        shared->reset();
        auto slot = asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected()) slot.clear();
        work->reset();
        std::move(handler)();
      });
    }));
  };
  co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(std::move(initiation),
                                                                      asio::use_awaitable);
}

}  // namespace velko::core
