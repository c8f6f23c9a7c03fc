#include "platform/client.h"

#include <cstdlib>
#include <functional>
#include <iterator>
#include <ostream>
#include <string_view>

#include <boost/json/object.hpp>

#include "common/api_status_error.h"
#include "common/errors.h"
#include "common/http_async.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "common/printable.h"
#include "common/refusal_detail.h"

namespace velko::platform {

namespace json = boost::json;

namespace {

// Largest answer the client reads from the platform.
constexpr std::size_t kMaxAnswerBytes = 64u << 20;

std::string org_path(const std::string& org) { return "/v1/orgs/" + http::percent_encode(org); }

std::string project_path(const std::string& org, const std::string& project) {
  return org_path(org) + "/projects/" + http::percent_encode(project);
}

std::string report_job_path(const std::string& org, const std::string& sim,
                            const std::string& impl) {
  return org_path(org) + "/sims/" + http::percent_encode(sim) + "/implementations/" +
         http::percent_encode(impl) + "/report-jobs";
}

const json::value& member(const json::object& object, const char* key, const char* what) {
  const json::value* value = object.if_contains(key);
  if (!value) throw BadAnswer(std::string("The platform's ") + what + " has no \"" + key + "\"");
  return *value;
}

std::string text_member(const json::object& object, const char* key, const char* what) {
  const json::value& value = member(object, key, what);
  if (!value.is_string()) {
    throw BadAnswer(std::string("The platform's ") + what + " has a \"" + key +
                    "\" that is not a text");
  }
  return std::string(value.get_string());
}

Project project_from_json(const json::value& value) {
  if (!value.is_object()) throw BadAnswer("The platform's project list holds a non-object");
  const json::object& object = value.get_object();
  Project project;
  project.id = id_text(member(object, "id", "project"), "project id");
  project.organization_id =
      id_text(member(object, "organizationId", "project"), "project organizationId");
  const json::value* name = object.if_contains("name");
  project.name = (name && name->is_string()) ? std::string(name->get_string()) : project.id;
  return project;
}

// A platform answer too slow for a request that makes something: says that it may have been
// made all the same.
[[noreturn]] void rethrow_noting(const http::AnswerTooSlow& error, std::string_view note) {
  throw http::AnswerTooSlow(error.url(), error.reason(),
                            std::string(error.what()) + "; " + std::string(note));
}

// Conditions as sent.
json::value optional_json(const std::optional<json::value>& value) {
  // Only missing conditions are null: an empty list of conditions is the item's own value
  // (a freshly scaffolded goal has one) and is sent as it is.
  if (!value) return nullptr;
  return *value;
}

// A data URL as sent: none or an empty text is null.
json::value optional_text(const std::optional<std::string>& value) {
  return value && !value->empty() ? json::value(*value) : json::value(nullptr);
}

// The token as sent: none for an empty one; one that would break its header line is refused.
std::optional<std::string> checked_token(std::optional<std::string> token) {
  http::check_bearer_token(token, "The platform token (VELKO_API_TOKEN)");
  if (!token || token->empty()) return std::nullopt;
  return token;
}

// An answer that callers read as a map must be one.
json::value expect_object(json::value answer, const char* what) {
  if (!answer.is_object()) {
    throw BadAnswer(std::string("The platform's ") + what + " is not an object");
  }
  return answer;
}

std::string projects_listing(const std::vector<Project>& projects) {
  std::string out;
  for (const auto& project : projects) {
    if (!out.empty()) out += ", ";
    out += velko::quoted(project.name) + " (" + project.id + ")";
  }
  return out;
}

// Offers the projects as a numbered menu through `prompts` and reads the choice; a refused
// answer is said on the error stream and asked again. The platform's names and the user's
// answer are shown escaped (printable_name).
Project ask_for_project(const std::vector<Project>& projects, guidance_commands::Prompts prompts) {
  prompts.output << "Projects:\n";
  for (std::size_t i = 0; i < projects.size(); ++i) {
    prompts.output << "  " << (i + 1) << ". " << printable_name(projects[i].name) << " ("
                   << printable_name(projects[i].id) << ")\n";
  }
  while (true) {
    prompts.output << "Project [1]: " << std::flush;
    std::string answer;
    if (!std::getline(prompts.input, answer)) {
      throw guidance_commands::PromptAborted("No project chosen (end of input)");
    }
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    if (answer.empty()) return projects.front();
    char* end = nullptr;
    long choice = std::strtol(answer.c_str(), &end, 10);
    if (end && *end == '\0' && choice >= 1 && static_cast<std::size_t>(choice) <= projects.size()) {
      return projects[static_cast<std::size_t>(choice) - 1];
    }
    prompts.errors << "Error: " << printable_name(answer) << " is not a number from 1 to "
                   << projects.size() << std::endl;
  }
}

}  // namespace

std::string id_text(const json::value& value, const char* what) {
  if (value.is_string()) return std::string(value.get_string());
  if (value.is_int64() || value.is_uint64()) return number_text(value);
  throw BadAnswer(std::string("The platform's ") + what + " is not a text");
}

guidance::GuidanceItem item_from_json(const json::value& value) {
  if (!value.is_object()) throw BadAnswer("The platform's guidance item is not an object");
  const json::object& object = value.get_object();
  guidance::GuidanceItem item;
  item.id = id_text(member(object, "id", "guidance item"), "guidance item id");
  item.name = text_member(object, "name", "guidance item");
  item.type.value = text_member(object, "type", "guidance item");
  return item;
}

SimSummary sim_summary_from_json(const json::value& value) {
  if (!value.is_object()) throw BadAnswer("The platform's sim list holds a non-object");
  const json::object& object = value.get_object();
  SimSummary sim;
  sim.id = id_text(member(object, "id", "sim"), "sim id");
  sim.name = text_member(object, "name", "sim");
  const json::value* latest = object.if_contains("latestImplementation");
  if (latest && !latest->is_null()) {
    if (!latest->is_object()) {
      throw BadAnswer("The platform's sim has a \"latestImplementation\" that is not an object");
    }
    const json::object& build = latest->get_object();
    SimSummary::Build summary;
    summary.id = id_text(member(build, "id", "sim build"), "sim build id");
    summary.status = text_member(build, "buildStatus", "sim build");
    const json::value* mapped = build.if_contains("buildMapped");
    if (mapped && !mapped->is_null() && !mapped->is_bool()) {
      throw BadAnswer("The platform's sim build has a \"buildMapped\" that is not true or false");
    }
    summary.mapped = mapped && mapped->is_bool() && mapped->get_bool();
    sim.latest_build = std::move(summary);
  }
  const json::value* projects = object.if_contains("projects");
  if (projects && !projects->is_null()) {
    if (!projects->is_array()) {
      throw BadAnswer("The platform's sim has \"projects\" that are not a list");
    }
    for (const json::value& project : projects->get_array()) {
      if (!project.is_object()) {
        throw BadAnswer("The platform's sim lists a project that is not an object");
      }
      sim.use_cases.push_back(text_member(project.get_object(), "projectName", "sim's project"));
    }
  }
  return sim;
}

const Project& find_project(const std::vector<Project>& projects, const std::string& given,
                            const std::string& what) {
  for (const auto& project : projects) {
    if (project.id == given) return project;
  }
  for (const auto& project : projects) {
    if (project.name == given) return project;
  }
  throw std::runtime_error(what + " " + velko::quoted(given) +
                           " is neither the id nor the name of a project; the projects are: " +
                           (projects.empty() ? std::string("none") : projects_listing(projects)));
}

Client::Client(std::string base_url, std::optional<std::string> token, std::string project)
    : base_url_(std::move(base_url)), project_(std::move(project)) {
  while (!base_url_.empty() && base_url_.back() == '/') base_url_.pop_back();
  token_ = checked_token(std::move(token));
}

awaitable<std::string> Client::call(std::string method, std::string path, std::string body,
                                    std::string content_type) {
  http::Request request;
  request.method = method;
  request.url = base_url_ + path;
  request.body = std::move(body);
  request.max_response_bytes = kMaxAnswerBytes;
  request.headers.emplace_back("Accept", "application/json");
  if (!content_type.empty()) request.headers.emplace_back("Content-Type", content_type);
  if (token_) request.headers.emplace_back("Authorization", "Bearer " + *token_);
  request.total_timeout_s = total_timeout_s_;
  http::Response response;
  try {
    response = co_await http::perform_awaited(
        std::move(request), "(is the platform running? VELKO_API_URL sets its address)");
  } catch (const http::AnswerTooSlow& error) {
    // The platform is running: it was reached and did not answer in time.
    throw http::AnswerTooSlow(error.url(), error.reason(),
                              "The platform answered too slowly (" + method + " " + base_url_ +
                                  path + ": " + error.reason() + ")");
  }
  if (response.status < 200 || response.status > 299) {
    throw APIStatusError(response.status, refusal_detail(response.body, DetailKinds::kTextOnly));
  }
  co_return std::move(response.body);
}

awaitable<json::value> Client::call_json(std::string method, std::string path,
                                         std::optional<json::value> body) {
  std::string text = body ? json_text::to_json(*body) : std::string();
  std::string answer = co_await call(method, path, std::move(text), body ? "application/json" : "");
  // No content (a 204, say) is no value; callers that need one say so.
  if (answer.empty()) co_return json::value(nullptr);
  try {
    co_return json_text::parse(answer);
  } catch (const json_text::JsonError& error) {
    throw BadAnswer("The platform's answer to " + method + " " + path +
                    " is not JSON: " + error.what());
  }
}

awaitable<std::vector<Project>> Client::list_projects() {
  json::value answer = co_await call_json("GET", "/v1/projects", std::nullopt);
  if (!answer.is_array()) throw BadAnswer("The platform's project list is not a list");
  std::vector<Project> projects;
  for (const auto& entry : answer.get_array()) projects.push_back(project_from_json(entry));
  co_return projects;
}

awaitable<Project> Client::cli_select(guidance_commands::Prompts prompts) {
  std::vector<Project> projects = co_await list_projects();
  if (!project_.empty()) co_return find_project(projects, project_, "VELKO_PROJECT");
  if (projects.empty()) {
    throw std::runtime_error("The platform has no projects yet; create one first");
  }
  if (projects.size() == 1) co_return projects.front();
  if (prompts.interactive) co_return ask_for_project(projects, prompts);
  throw std::runtime_error(
      "Several projects are available and there is no terminal to choose one: set "
      "VELKO_PROJECT to the id or name of one of " +
      projects_listing(projects));
}

awaitable<std::vector<guidance::GuidanceItem>> Client::list_guidance(std::string organization_id,
                                                                     std::string project_id) {
  json::value answer = co_await call_json(
      "GET", project_path(organization_id, project_id) + "/guidance", std::nullopt);
  if (!answer.is_array()) throw BadAnswer("The platform's guidance list is not a list");
  std::vector<guidance::GuidanceItem> items;
  for (const auto& entry : answer.get_array()) items.push_back(item_from_json(entry));
  co_return items;
}

awaitable<std::string> Client::upload_reward_file(std::string organization_id,
                                                  std::string project_id, std::string filename,
                                                  std::string bytes) {
  std::string answer =
      co_await call("POST",
                    project_path(organization_id, project_id) +
                        "/guidance/files?filename=" + http::percent_encode(filename),
                    std::move(bytes), "application/octet-stream");
  json::value parsed;
  try {
    parsed = json_text::parse(answer);
  } catch (const json_text::JsonError& error) {
    throw BadAnswer(std::string("The platform's answer to the reward upload is not JSON: ") +
                    error.what());
  }
  if (!parsed.is_object()) {
    throw BadAnswer("The platform's answer to the reward upload is not an object");
  }
  co_return text_member(parsed.get_object(), "dataUrl", "answer to the reward upload");
}

awaitable<std::optional<guidance::GuidanceItem>> Client::get_by_name(std::string organization_id,
                                                                     std::string project_id,
                                                                     std::string name,
                                                                     std::string type) {
  json::value answer = co_await call_json("GET",
                                          project_path(organization_id, project_id) +
                                              "/guidance?name=" + http::percent_encode(name) +
                                              "&type=" + http::percent_encode(type),
                                          std::nullopt);
  if (!answer.is_array()) throw BadAnswer("The platform's guidance lookup is not a list");
  if (answer.get_array().empty()) co_return std::nullopt;
  co_return item_from_json(answer.get_array().front());
}

awaitable<guidance::GuidanceItem> Client::create(std::string organization_id,
                                                 std::string project_id, std::string type,
                                                 std::string name,
                                                 std::optional<json::value> conditions,
                                                 std::optional<std::string> data_url) {
  json::object body;
  body["type"] = type;
  body["name"] = name;
  body["conditions"] = optional_json(conditions);
  body["dataUrl"] = optional_text(data_url);
  json::value answer = co_await call_json(
      "POST", project_path(organization_id, project_id) + "/guidance", json::value(body));
  co_return item_from_json(answer);
}

awaitable<guidance::GuidanceItem> Client::update(std::string organization_id,
                                                 std::string project_id, std::string item_id,
                                                 std::optional<json::value> conditions,
                                                 std::optional<std::string> data_url) {
  json::object body;
  body["conditions"] = optional_json(conditions);
  body["dataUrl"] = optional_text(data_url);
  json::value answer = co_await call_json(
      "PUT",
      project_path(organization_id, project_id) + "/guidance/" + http::percent_encode(item_id),
      json::value(body));
  co_return item_from_json(answer);
}

awaitable<void> Client::link_simulator(std::string org_id, std::string project_id,
                                       std::string sim_id) {
  co_await call_json(
      "POST", project_path(org_id, project_id) + "/simulators/" + http::percent_encode(sim_id),
      json::value(json::object()));
}

awaitable<json::value> Client::publish_report_start(std::string org_id, std::string sim_id,
                                                    std::string implementation_id,
                                                    std::string dataset_id) {
  json::object body;
  body["datasetId"] = dataset_id;
  json::value claim;
  try {
    claim = co_await call_json("POST", report_job_path(org_id, sim_id, implementation_id),
                               json::value(body));
  } catch (const http::AnswerTooSlow& error) {
    rethrow_noting(error, "the report claim may have been opened all the same");
  }
  co_return expect_object(std::move(claim), "report claim");
}

awaitable<void> Client::publish_report_submit(dataset_replay::ReportJob job, json::value body) {
  co_await call_json("POST",
                     report_job_path(job.org_id, job.sim_id, job.implementation_id) + "/" +
                         http::percent_encode(job.job_id),
                     std::move(body));
}

awaitable<json::value> Client::publish_report_status(dataset_replay::ReportJob job) {
  json::value status =
      co_await call_json("GET",
                         report_job_path(job.org_id, job.sim_id, job.implementation_id) + "/" +
                             http::percent_encode(job.job_id),
                         std::nullopt);
  co_return expect_object(std::move(status), "report status");
}

awaitable<PublishedSim> Client::publish_sim(std::string org_id, std::string name,
                                            std::string bundle_sha256) {
  json::object body;
  body["name"] = name;
  body["bundleSha256"] = bundle_sha256;
  json::value answer;
  try {
    answer = co_await call_json("POST", org_path(org_id) + "/sims", json::value(body));
  } catch (const http::AnswerTooSlow& error) {
    rethrow_noting(error, "the sim's build may have been published all the same");
  }
  if (!answer.is_object()) {
    throw BadAnswer("The platform's answer to the sim publish is not an object");
  }
  const json::object& object = answer.get_object();
  PublishedSim sim;
  sim.sim_id = id_text(member(object, "simId", "published sim"), "simId");
  sim.implementation_id =
      id_text(member(object, "implementationId", "published sim"), "implementationId");
  const json::value* shown = object.if_contains("name");
  sim.name = (shown && shown->is_string()) ? std::string(shown->get_string()) : name;
  co_return sim;
}

awaitable<std::vector<SimSummary>> Client::list_sims(std::string org_id) {
  json::value answer = co_await call_json("GET", org_path(org_id) + "/sims", std::nullopt);
  if (!answer.is_array()) throw BadAnswer("The platform's sim list is not a list");
  std::vector<SimSummary> sims;
  sims.reserve(answer.get_array().size());
  for (const auto& entry : answer.get_array()) sims.push_back(sim_summary_from_json(entry));
  co_return sims;
}

}  // namespace velko::platform
