// The platform API client over HTTP.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <boost/json/value.hpp>

#include "cli/guidance_commands/command_platform.h"
#include "common/async.h"
#include "common/http.h"
#include "main/dataset_replay/report_platform.h"
#include "main/guidance/guidance_library.h"

namespace velko::platform {

// A project as the platform lists it.
using Project = guidance_commands::Project;

// The project that `given` names: the one with that id, else the one with that name. Throws
// std::runtime_error naming `what` (where the value came from) and the projects there are when
// none matches.
const Project& find_project(const std::vector<Project>& projects, const std::string& given,
                            const std::string& what);

// A sim build as the platform registered it.
struct PublishedSim {
  std::string sim_id;
  std::string implementation_id;
  std::string name;
};

// A sim of an organisation as the platform lists it.
struct SimSummary {
  // A build of the sim: its id, its status ("BUILDING", "READY", "ERROR" or another the
  // platform names) and whether the platform has saved its mappings.
  struct Build {
    std::string id;
    std::string status;
    bool mapped = false;
  };

  std::string id;
  std::string name;
  // None before the sim's first build.
  std::optional<Build> latest_build;
  // The names of the use cases (projects) that use the sim.
  std::vector<std::string> use_cases;
};

// The platform client: one object per command run. Every operation is one request; a status
// outside 200-299 becomes APIStatusError.
class Client final : public guidance_commands::Platform,
                     public guidance::GuidanceLibrary,
                     public dataset_replay::ReportPlatform {
 public:
  // `token` is sent on every request (VELKO_API_TOKEN; an empty token is none); `project` is
  // the id or name of the project that cli_select picks without asking (VELKO_PROJECT). Throws
  // std::invalid_argument for a token with control characters.
  explicit Client(std::string base_url, std::optional<std::string> token = std::nullopt,
                  std::string project = "");

  // guidance_commands::Platform
  awaitable<Project> cli_select(guidance_commands::Prompts prompts) override;
  awaitable<std::vector<guidance::GuidanceItem>> list_guidance(std::string organization_id,
                                                               std::string project_id) override;
  guidance::GuidanceLibrary& guidance() override { return *this; }

  // guidance::GuidanceLibrary
  awaitable<std::string> upload_reward_file(std::string organization_id, std::string project_id,
                                            std::string filename, std::string bytes) override;
  awaitable<std::optional<guidance::GuidanceItem>> get_by_name(std::string organization_id,
                                                               std::string project_id,
                                                               std::string name,
                                                               std::string type) override;
  awaitable<guidance::GuidanceItem> create(std::string organization_id, std::string project_id,
                                           std::string type, std::string name,
                                           std::optional<boost::json::value> conditions,
                                           std::optional<std::string> data_url) override;
  awaitable<guidance::GuidanceItem> update(std::string organization_id, std::string project_id,
                                           std::string item_id,
                                           std::optional<boost::json::value> conditions,
                                           std::optional<std::string> data_url) override;

  // dataset_replay::ReportPlatform
  awaitable<void> link_simulator(std::string org_id, std::string project_id,
                                 std::string sim_id) override;
  awaitable<boost::json::value> publish_report_start(std::string org_id, std::string sim_id,
                                                     std::string implementation_id,
                                                     std::string dataset_id) override;
  awaitable<void> publish_report_submit(dataset_replay::ReportJob job,
                                        boost::json::value body) override;
  awaitable<boost::json::value> publish_report_status(dataset_replay::ReportJob job) override;

  // Host only.
  awaitable<std::vector<Project>> list_projects();
  awaitable<PublishedSim> publish_sim(std::string org_id, std::string name,
                                      std::string bundle_sha256);
  // The organisation's sims, as GET /v1/orgs/{org}/sims lists them.
  awaitable<std::vector<SimSummary>> list_sims(std::string org_id);

  const std::string& base_url() const { return base_url_; }
  // Bounds each request as a whole, from the connection attempt to the answer's last byte
  // (300 s unless set). A platform reached that does not answer within it (or falls silent
  // for a minute) is given up with http::AnswerTooSlow, which says so; where the request made
  // something (a claim, a published build), it says that it may have been made.
  void set_total_timeout(double seconds) { total_timeout_s_ = seconds; }

 private:
  // One request; yields the answer body of a 2xx answer.
  awaitable<std::string> call(std::string method, std::string path, std::string body,
                              std::string content_type);
  awaitable<boost::json::value> call_json(std::string method, std::string path,
                                          std::optional<boost::json::value> body);

  std::string base_url_;
  std::optional<std::string> token_;
  std::string project_;
  double total_timeout_s_ = 300;
};

// Reads a sim of the platform's sim list; throws BadAnswer when it is not one.
SimSummary sim_summary_from_json(const boost::json::value& value);

// Reads a guidance item out of a platform answer; throws BadAnswer when it is not one.
guidance::GuidanceItem item_from_json(const boost::json::value& value);

// An id as text: a text as it is, a number in decimal.
std::string id_text(const boost::json::value& value, const char* what);

}  // namespace velko::platform
