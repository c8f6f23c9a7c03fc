// What the end-to-end tests of velko share: the dataset that matches the test sim, and the
// local platform and compute node started as real processes.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/value.hpp>

namespace velko::testing {

class ServerProcess;

// Writes the dataset folder `data`/valve-runs that matches velko-test-sim (one sensor "level",
// one action "valve"): `episodes` of `rows` rows, with the descriptor's "id" and any `extra`
// members of dataset.json (such as R"("stats": false)").
void write_valve_runs(const std::string& data, int episodes, int rows, const std::string& id,
                      const std::string& extra = "");

// velko-dev-platform (building and reporting at once) and velko-dev-node serving `data`.
class LocalServices {
 public:
  explicit LocalServices(const std::string& data,
                         const std::vector<std::string>& platform_args = {});
  ~LocalServices();
  LocalServices(const LocalServices&) = delete;
  LocalServices& operator=(const LocalServices&) = delete;

  std::string platform_url() const;
  std::string node_url() const;
  // The environment of a velko that talks to these, without the user's project, organization
  // or steps-ahead setting, and without colour.
  std::map<std::string, std::optional<std::string>> env() const;
  // What the platform holds (/debug/state).
  boost::json::value state() const;
  // The platform's only claim, which must be closed: a test failure when there is not exactly
  // one or it is still open.
  boost::json::value closed_claim() const;

 private:
  std::unique_ptr<ServerProcess> platform_;
  std::unique_ptr<ServerProcess> node_;
};

}  // namespace velko::testing
