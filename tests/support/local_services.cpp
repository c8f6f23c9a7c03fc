#include "tests/support/local_services.h"

#include <filesystem>

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "common/http.h"
#include "common/json_text.h"
#include "tests/support/servers.h"
#include "tests/support/testing.h"

namespace velko::testing {

namespace json = boost::json;

void write_valve_runs(const std::string& data, int episodes, int rows, const std::string& id,
                      const std::string& extra) {
  const std::string folder = data + "/valve-runs";
  std::filesystem::create_directories(folder);
  std::string csv = "episode,level,valve\n";
  for (int episode = 0; episode < episodes; ++episode) {
    for (int row = 0; row < rows; ++row) {
      csv += std::to_string(episode) + "," + std::to_string(0.5 * row) + "," +
             (row == 0 ? std::string() : "0.5") + "\n";
    }
  }
  write_file(folder + "/runs.csv", csv);
  write_file(folder + "/dataset.json",
             R"({"id": ")" + id + R"(", "name": "valve-runs", "csv": "runs.csv",
                 "episode_column": "episode", )" +
                 (extra.empty() ? "" : extra + ", ") +
                 R"("columns": [{"header": "level", "id": "level", "role": "sensor"},
                               {"header": "valve", "id": "valve", "role": "action"}]})");
}

LocalServices::LocalServices(const std::string& data,
                             const std::vector<std::string>& platform_args) {
  std::vector<std::string> argv{
      bin("velko-dev-platform"), "--host", "127.0.0.1",        "--port", "0",
      "--build-seconds",         "0",      "--report-seconds", "0"};
  argv.insert(argv.end(), platform_args.begin(), platform_args.end());
  platform_ = std::make_unique<ServerProcess>(argv);
  node_ = std::make_unique<ServerProcess>(std::vector<std::string>{
      bin("velko-dev-node"), "--host", "127.0.0.1", "--port", "0", "--data", data});
}

LocalServices::~LocalServices() = default;

std::string LocalServices::platform_url() const { return platform_->url(); }
std::string LocalServices::node_url() const { return node_->url(); }

std::map<std::string, std::optional<std::string>> LocalServices::env() const {
  return {{"VELKO_API_URL", platform_url()},   {"VELKO_COMPUTE_URL", node_url()},
          {"VELKO_PROJECT", std::nullopt},     {"VELKO_ORG", std::nullopt},
          {"VELKO_STEPS_AHEAD", std::nullopt}, {"NO_COLOR", std::string("1")}};
}

json::value LocalServices::state() const {
  http::Request request;
  request.url = platform_url() + "/debug/state";
  return json_text::parse(http::perform(request).body);
}

json::value LocalServices::closed_claim() const {
  json::value held = state();
  const json::array& claims = held.at("claims").as_array();
  EXPECT_EQ(claims.size(), 1u);
  if (claims.empty()) return json::value();
  EXPECT_EQ(claims[0].at("open"), json::value(false));
  return claims[0];
}

}  // namespace velko::testing
