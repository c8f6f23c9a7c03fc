#include "tests/support/report_fakes.h"

namespace velko::testing {

awaitable<void> FakeReportPlatform::link_simulator(std::string org, std::string project,
                                                   std::string sim) {
  calls.push_back({"link", {org, project, sim}, nullptr});
  co_return;
}

awaitable<boost::json::value> FakeReportPlatform::publish_report_start(std::string org,
                                                                       std::string sim,
                                                                       std::string impl,
                                                                       std::string dataset) {
  calls.push_back({"start", {org, sim, impl, dataset}, nullptr});
  if (refuse_claim) refuse_claim();
  co_return claim;
}

namespace {

// The job's ids as a call records them.
std::vector<std::string> ids_of(const dataset_replay::ReportJob& job) {
  return {job.org_id, job.sim_id, job.implementation_id, job.job_id};
}

}  // namespace

awaitable<void> FakeReportPlatform::publish_report_submit(dataset_replay::ReportJob job,
                                                          boost::json::value body) {
  calls.push_back({"submit", ids_of(job), body});
  if (on_submit) co_await on_submit(body);
}

awaitable<boost::json::value> FakeReportPlatform::publish_report_status(
    dataset_replay::ReportJob job) {
  calls.push_back({"status", ids_of(job), nullptr});
  if (on_status) on_status();
  if (statuses.empty()) throw std::runtime_error("no status configured");
  boost::json::value status = statuses.front();
  if (statuses.size() > 1) statuses.pop_front();
  co_return status;
}

std::vector<std::string> FakeReportPlatform::names() const {
  std::vector<std::string> out;
  for (const auto& call : calls) out.push_back(call.name);
  return out;
}

std::vector<boost::json::value> FakeReportPlatform::submissions() const {
  std::vector<boost::json::value> out;
  for (const auto& call : calls) {
    if (call.name == "submit") out.push_back(call.body);
  }
  return out;
}

int FakeReportPlatform::status_calls() const {
  int n = 0;
  for (const auto& call : calls) n += call.name == "status";
  return n;
}

awaitable<dataset_replay::LocalDataset> FakeDatasetModule::resolve_local_dataset(std::string ref) {
  resolved.push_back(ref);
  co_return dataset;
}

}  // namespace velko::testing
