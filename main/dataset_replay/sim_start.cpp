#include "main/dataset_replay/sim_start.h"

#include <spdlog/logger.h>

#include <chrono>

#include "common/console.h"
#include "common/errors.h"
#include "main/dataset_replay/host_sim_module.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {

namespace json = boost::json;

namespace {

// Most times a sim is started when it keeps losing its port to another process.
constexpr int kStartAttempts = 3;

}  // namespace

OutputCallback SimOutput::callback() {
  return [lines = lines_](const std::string& text) {
    lines->push_back(text);
    if (lines->size() > kKeptLines) lines->pop_front();
  };
}

std::string SimOutput::joined() const {
  std::string text;
  for (std::size_t i = 0; i < lines_->size(); ++i) {
    if (i) text += "\n";
    text += (*lines_)[i];
  }
  return text;
}

void SimOutput::clear() { lines_->clear(); }

awaitable<std::string> start_sim(const SimStarter& starter, std::string path, int port,
                                 std::unique_ptr<SimProcess>& process, SimOutput& output) {
  SimConnection& sims = starter.sims;
  auto line = starter.console.status("Starting the sim...");
  std::string address = "localhost:" + std::to_string(port);
  for (int attempt = 1;; ++attempt) {
    std::exception_ptr start_failure;
    // Named, not a temporary inside the co_await: GCC 12 destroys a closure made inside a
    // co_await expression twice.
    OutputCallback on_output = output.callback();
    try {
      process = co_await sims.make_in_process(path, port, std::move(on_output));
      co_await starter.host_sim.check_serving(address, starter.serve_timeout_s);
    } catch (const std::exception&) {
      start_failure = std::current_exception();
    }
    if (!start_failure) co_return address;
    if (is_interrupt(start_failure)) std::rethrow_exception(start_failure);
    // Another run may have been given the same free port and started its sim first: a sim
    // that ended before it served, on a port that something else now holds, is started again
    // on a new port.
    if (attempt < kStartAttempts && process && process->returncode() && sims.port_in_use(port)) {
      starter.logger.debug("The sim could not take port {}, which is in use; starting it again",
                           port);
      process.reset();
      output.clear();
      port = sims.get_free_port();
      address = "localhost:" + std::to_string(port);
      continue;
    }
    std::string log = starter.host_sim.output_tail(output.joined());
    try {
      std::rethrow_exception(start_failure);
    } catch (...) {
      std::throw_with_nested(PublishReportError("The sim did not start:\n\n" +
                                                (log.empty() ? error_text(start_failure) : log)));
    }
  }
}

std::unique_ptr<SimClient> connect_sim(SimConnection& sims, const std::string& address,
                                       json::object env_init, const std::string& run_id,
                                       std::size_t max_answer_bytes) {
  env_init["sim_address"] = address;
  return sims.make(ClientOptions{run_id, address, std::move(env_init), max_answer_bytes});
}

awaitable<std::optional<int>> ended_status(SimProcess& process, double settle_s) {
  const auto deadline = std::chrono::steady_clock::now() + seconds_to_duration(settle_s);
  std::optional<int> code = process.returncode();
  while (!code && std::chrono::steady_clock::now() < deadline) {
    co_await sleep_for(std::chrono::milliseconds(10));
    code = process.returncode();
  }
  co_return code;
}

awaitable<void> stop_sim(SimProcess& process, double grace_s) {
  if (process.returncode()) co_return;
  process.terminate();
  std::exception_ptr interrupted;
  try {
    co_await with_timeout(process.wait(), grace_s, "the sim did not end after it was asked to");
  } catch (const TimeoutError&) {
    process.kill();
  } catch (...) {
    process.kill();
    interrupted = std::current_exception();
  }
  if (interrupted) std::rethrow_exception(interrupted);
}

}  // namespace velko::dataset_replay
