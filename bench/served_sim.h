// A sim that a benchmark starts as velko starts it and keeps serving while it measures.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "sim_connection/sim_process.h"

namespace velko::bench {

// The sim at `path` serving on a free loopback port, started and watched by an event loop on
// a thread of its own; stopped (and that thread ended) when the object goes.
class ServedSim {
 public:
  // Starts the sim and blocks until it serves; its output lines go to `on_output` (none:
  // dropped). Throws what the start or the serving check threw.
  explicit ServedSim(const std::string& path,
                     std::function<void(const std::string&)> on_output = nullptr);
  ~ServedSim();
  ServedSim(const ServedSim&) = delete;
  ServedSim& operator=(const ServedSim&) = delete;

  // "localhost:PORT".
  const std::string& address() const { return address_; }
  pid_t pid() const { return process_->pid(); }

 private:
  // Stops the sim and ends the event loop's thread; nothing once it has ended.
  void stop();

  std::string address_;
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::unique_ptr<sim_connection::LocalSimProcess> process_;
  std::thread thread_;
};

}  // namespace velko::bench
