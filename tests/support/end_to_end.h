// The fixture of the end-to-end tests: the built velko run against the local platform and
// compute node (started as real processes), with sims in a folder of the test's own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/local_services.h"
#include "tests/support/testing.h"

namespace velko::testing {

// An end-to-end test: `dir` holds its sims (and is where their processes run), `data` the
// datasets the compute node serves once start_services has started the local servers.
class EndToEnd : public ::testing::Test {
 protected:
  // Starts velko-dev-platform (with `platform_args`) and velko-dev-node serving `data`.
  void start_services(const std::vector<std::string>& platform_args = {});

  // A sim directory `name` in `dir` that runs `argv`.
  std::string sim(const std::string& name, const std::vector<std::string>& argv);
  // The example water tank sim, in `dir`/water-tank.
  std::string water_tank();
  // velko-test-sim with `fault` (such as {"crash-at-step", "2"}), in `dir`/`name`.
  std::string fault_sim(const std::string& name, std::vector<std::string> fault);

  // How velko runs: against the local servers once they are started (their environment,
  // without the user's project, organisation or steps-ahead setting), without colour, for at
  // most 120 s.
  RunOptions options() const;
  // Runs the built velko with `args`.
  RunResult velko(std::vector<std::string> args, const RunOptions& run_options) const;
  RunResult velko(std::vector<std::string> args) const { return velko(std::move(args), options()); }

  TempDir dir;
  TempDir data;
  std::unique_ptr<LocalServices> services;
};

}  // namespace velko::testing
