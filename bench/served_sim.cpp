#include "bench/served_sim.h"

#include <exception>
#include <future>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>

#include "sim_connection/sim_serving.h"

namespace velko::bench {

namespace asio = boost::asio;

ServedSim::ServedSim(const std::string& path, std::function<void(const std::string&)> on_output)
    : work_(asio::make_work_guard(io_)) {
  const int port = sim_connection::free_port();
  address_ = "localhost:" + std::to_string(port);
  std::promise<void> serving;
  asio::co_spawn(
      io_,
      [&, port]() -> awaitable<void> {
        process_ = co_await sim_connection::start_sim(path, "localhost", port, on_output);
        co_await sim_connection::SimModuleImpl().check_serving(address_, 30);
      },
      [&serving](std::exception_ptr error) {
        if (error) {
          serving.set_exception(error);
        } else {
          serving.set_value();
        }
      });
  thread_ = std::thread([this] { io_.run(); });
  try {
    serving.get_future().get();
  } catch (...) {
    stop();
    throw;
  }
}

ServedSim::~ServedSim() { stop(); }

void ServedSim::stop() {
  if (!thread_.joinable()) return;
  asio::post(io_, [this] {
    process_.reset();
    work_.reset();
  });
  thread_.join();
}

}  // namespace velko::bench
