// Fakes of the outside components of the report run: the platform client and the dataset
// module, recording every call.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <boost/json.hpp>

#include "main/dataset_replay/dataset_module.h"
#include "main/dataset_replay/report_platform.h"

namespace velko::testing {

// One recorded platform call: its name and arguments, and the body for submissions.
struct PlatformCall {
  std::string name;
  std::vector<std::string> args;
  boost::json::value body;
};

class FakeReportPlatform : public dataset_replay::ReportPlatform {
 public:
  std::vector<PlatformCall> calls;
  boost::json::value claim = boost::json::parse(
      R"({"jobId": "job-1", "simulatorId": "sim-1", "simulatorImplementationId": "impl-1",
          "validationRunId": "run-1", "maxLagSteps": 2})");
  // Thrown by publish_report_start when set.
  std::function<void()> refuse_claim;
  // Thrown by publish_report_submit when set; sees the body.
  std::function<awaitable<void>(const boost::json::value&)> on_submit;
  // Status answers in order; the last one repeats.
  std::deque<boost::json::value> statuses;
  std::function<void()> on_status;

  awaitable<void> link_simulator(std::string org, std::string project, std::string sim) override;
  awaitable<boost::json::value> publish_report_start(std::string org, std::string sim,
                                                     std::string impl,
                                                     std::string dataset) override;
  awaitable<void> publish_report_submit(dataset_replay::ReportJob job,
                                        boost::json::value body) override;
  awaitable<boost::json::value> publish_report_status(dataset_replay::ReportJob job) override;

  std::vector<std::string> names() const;
  std::vector<boost::json::value> submissions() const;
  int status_calls() const;
};

class FakeDatasetModule : public dataset_replay::DatasetModule {
 public:
  dataset_replay::LocalDataset dataset{"ds-1", "water-tank-runs",
                                       dataset_replay::LocalDataset::Cycles{40}};
  std::string url = "http://127.0.0.1:9";
  http::Headers headers;
  int header_calls = 0;
  std::vector<std::string> resolved;

  awaitable<dataset_replay::LocalDataset> resolve_local_dataset(std::string ref) override;
  std::string compute_url() override { return url; }
  http::Headers auth_headers() override {
    ++header_calls;
    return headers;
  }
};

}  // namespace velko::testing
