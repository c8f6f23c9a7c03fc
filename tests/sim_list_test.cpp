// The organisation's sims: the stand-in platform's list, the client that reads it, and the
// table `velko sim list` prints.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "cli/sim_commands/sim_list.h"
#include "common/api_status_error.h"
#include "common/async.h"
#include "common/errors.h"
#include "dev/dev_platform.h"
#include "platform/client.h"
#include "tests/support/captured_output.h"

namespace velko {
namespace {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kOrg = dev::kOrganizationId;
const std::string kSha(64, 'b');

class SimList : public ::testing::Test {
 protected:
  void start(dev::PlatformOptions options = {}) {
    options.build_seconds = 5;
    options.clock = [this] { return start_ + std::chrono::seconds(offset_s_.load()); };
    platform_ = std::make_unique<dev::DevPlatform>(std::move(options));
    int port = platform_->start("127.0.0.1", 0);
    api_ = std::make_unique<platform::Client>("http://127.0.0.1:" + std::to_string(port));
  }

  std::vector<platform::SimSummary> list(const std::string& org = kOrg) {
    return async_to_sync([this](std::string id) { return api_->list_sims(id); })(org);
  }
  platform::PublishedSim publish(const std::string& name) {
    return async_to_sync([this](std::string sim) { return api_->publish_sim(kOrg, sim, kSha); })(
        name);
  }
  void link(const std::string& project, const std::string& sim) {
    async_to_sync([this](std::string p, std::string s) {
      return api_->link_simulator(kOrg, p, s);
    })(project, sim);
  }

  Clock::time_point start_ = Clock::now();
  std::atomic<int> offset_s_{0};
  std::unique_ptr<dev::DevPlatform> platform_;
  std::unique_ptr<platform::Client> api_;
};

TEST_F(SimList, ListsEachSimWithItsLatestBuildItsStateAndItsUseCases) {
  start();
  EXPECT_TRUE(list().empty());
  platform::PublishedSim tank = publish("Tank");
  platform::PublishedSim pump = publish("Pump");
  platform::PublishedSim rebuilt = publish("Tank");
  link(dev::kWaterPlantProjectId, tank.sim_id);
  link(dev::kPumpStationProjectId, tank.sim_id);

  std::vector<platform::SimSummary> building = list();
  ASSERT_EQ(building.size(), 2u);
  EXPECT_EQ(building[0].id, tank.sim_id);
  EXPECT_EQ(building[0].name, "Tank");
  ASSERT_TRUE(building[0].latest_build);
  EXPECT_EQ(building[0].latest_build->id, rebuilt.implementation_id);
  EXPECT_EQ(building[0].latest_build->status, "BUILDING");
  EXPECT_FALSE(building[0].latest_build->mapped);
  EXPECT_THAT(building[0].use_cases, ElementsAre("Water plant", "Pump station"));
  EXPECT_TRUE(building[1].use_cases.empty());

  offset_s_ = 5;
  std::vector<platform::SimSummary> landed = list();
  EXPECT_EQ(landed[1].latest_build->status, "READY");
  EXPECT_TRUE(landed[1].latest_build->mapped);
}

TEST_F(SimList, AFailedBuildIsNeverMappedAndAnUnknownOrganisationIsRefused) {
  dev::PlatformOptions options;
  options.fail_build = true;
  start(options);
  publish("Tank");
  offset_s_ = 5;
  std::vector<platform::SimSummary> sims = list();
  ASSERT_EQ(sims.size(), 1u);
  EXPECT_EQ(sims[0].latest_build->status, "ERROR");
  EXPECT_FALSE(sims[0].latest_build->mapped);
  try {
    list("nobody");
    ADD_FAILURE() << "listed the sims of an unknown organisation";
  } catch (const APIStatusError& error) {
    EXPECT_EQ(error.status(), 404);
    EXPECT_THAT(error.detail(), HasSubstr("There is no organisation 'nobody'"));
  }
}

TEST(SimSummary, AnEntryOfTheWrongShapeIsRefused) {
  auto problem = [](const char* entry) {
    try {
      platform::sim_summary_from_json(json::parse(entry));
    } catch (const BadAnswer& error) {
      return std::string(error.what());
    }
    return std::string("<read>");
  };
  EXPECT_EQ(problem(R"({"id": "s", "name": "n", "latestImplementation": null, "projects": []})"),
            "<read>");
  EXPECT_EQ(problem(R"({"id": "s", "name": "n"})"), "<read>");
  EXPECT_THAT(problem(R"({"id": "s", "name": 3})"), HasSubstr("\"name\""));
  EXPECT_THAT(problem(R"({"id": "s", "name": "n", "latestImplementation": []})"),
              HasSubstr("\"latestImplementation\" that is not an object"));
  EXPECT_THAT(problem(R"({"id": "s", "name": "n", "latestImplementation":
                          {"id": "b", "buildStatus": "READY", "buildMapped": "yes"}})"),
              HasSubstr("\"buildMapped\" that is not true or false"));
  EXPECT_THAT(problem(R"({"id": "s", "name": "n", "projects": [{"projectId": "p"}]})"),
              HasSubstr("\"projectName\""));
}

TEST(SimsTable, ShowsEachSimOnOneRow) {
  platform::SimSummary ready{"s-1",
                             "Tank",
                             platform::SimSummary::Build{"b-2", "READY", true},
                             {"Water plant", "Pump station"}};
  platform::SimSummary failed{
      "s-2", "[red]Pump", platform::SimSummary::Build{"b-3", "ERROR", false}, {}};
  platform::SimSummary fresh{"s-3", "Valve", std::nullopt, {}};
  testing::CapturedOutput out;
  out.console.print_table(sim_commands::sims_table({ready, failed, fresh}));
  EXPECT_EQ(
      out.printed,
      "Sims\n"
      "┏━━━━━━━━━━━┳━━━━━┳━━━━━━━━━━━━━━┳━━━━━━━━┳━━━━━━━━━━━┳━━━━━━━━━━━━━━━━━━━━━━━━━━━┓\n"
      "┃ Name      ┃ ID  ┃ Latest build ┃ Status ┃ Mappings  ┃ Use cases                 ┃\n"
      "┡━━━━━━━━━━━╇━━━━━╇━━━━━━━━━━━━━━╇━━━━━━━━╇━━━━━━━━━━━╇━━━━━━━━━━━━━━━━━━━━━━━━━━━┩\n"
      "│ Tank      │ s-1 │ b-2          │ ready  │ saved     │ Water plant, Pump station │\n"
      "│ [red]Pump │ s-2 │ b-3          │ failed │ not saved │ -                         │\n"
      "│ Valve     │ s-3 │ -            │ -      │ -         │ -                         │\n"
      "└───────────┴─────┴──────────────┴────────┴───────────┴───────────────────────────┘\n");
}

}  // namespace
}  // namespace velko
