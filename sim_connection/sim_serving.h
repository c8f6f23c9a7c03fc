// The host tool's sim module as the report run uses it: the serving check of a started sim and
// the end of its output.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "main/dataset_replay/host_sim_module.h"
#include "sim_connection/sim_process.h"

namespace velko::sim_connection {

// Most lines and bytes that output_tail keeps.
inline constexpr std::size_t kTailLines = 40;
inline constexpr std::size_t kTailBytes = 4096;
// Seconds between two serving checks.
inline constexpr double kServePollS = 0.05;

// The host's sim module over the sims that one sim connection starts.
class SimModuleImpl : public dataset_replay::SimModule {
 public:
  // `started`: the sims whose end the serving check notices at once (none: it notices a sim
  // that ended only when its time runs out).
  explicit SimModuleImpl(std::shared_ptr<StartedSims> started = nullptr)
      : started_(std::move(started)) {}

  // Completes once the sim at `address` ("localhost:PORT") answers. Fails with TimeoutError
  // ("the sim at ADDRESS did not serve within N s") when it does not within `timeout_s`, and
  // at once with SimStartError when the sim started for that port has already ended.
  awaitable<void> check_serving(std::string address, double timeout_s) override;
  // The last 40 lines of `text`, at most 4 KiB of them, cut at a line start (a single line
  // longer than that keeps its end); trailing blank lines left out.
  std::string output_tail(const std::string& text) override;
  // sim_connection::describe_exit(returncode), once the sim's output has been read to its end (at
  // most a second: the sim's own children may hold it open).
  awaitable<std::string> describe_end(std::string address, int returncode) override;

 private:
  std::shared_ptr<StartedSims> started_;
};

}  // namespace velko::sim_connection
