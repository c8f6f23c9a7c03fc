#include "outside/dev_services/dev_platform.h"
#include "outside/dev_services/http_service.h"
#include "outside/dev_services/platform_sims.h"

#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <fmt/format.h>
#include <httplib.h>

#include "common/http.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "common/unicode.h"

namespace velko::dev {

namespace json = boost::json;

namespace {

using Clock = std::chrono::steady_clock;

// Bounds of what the platform takes from a request.
constexpr std::size_t kMaxTargetBytes = 2048;
constexpr std::size_t kMaxNameChars = 200;
constexpr std::size_t kMaxIdBytes = 200;
constexpr std::size_t kMaxFilenameBytes = 255;
constexpr std::size_t kMaxDataUrlBytes = 2048;
// Most bytes read and dropped after a body outgrew its bound.
constexpr std::size_t kMaxDrainBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxWarnings = 50;
constexpr std::size_t kMaxReasonChars = 500;  // a warning or a failure reason

// The kinds of ids the platform hands out; the first group of an id tells them apart.
constexpr std::uint32_t kSimKind = 0x51a10001;
constexpr std::uint32_t kBuildKind = 0x51a10002;
constexpr std::uint32_t kJobKind = 0x51a10003;
constexpr std::uint32_t kRunKind = 0x51a10004;
constexpr std::uint32_t kItemKind = 0x51a10005;
constexpr std::uint32_t kFileKind = 0x51a10006;

constexpr std::string_view kGuidanceTypes[] = {"goal", "constraint", "successCriteria", "reward"};

// A request that the platform refuses: its status and the detail for the user.
using Refusal = HttpRefusal;


// A JSON answer.
struct Reply {
  int status = 200;
  json::value body;
};

// A request as the handlers see it: the decoded path segments, the query and the body.
struct Call {
  std::string method;
  std::vector<std::string> segments;
  std::vector<std::pair<std::string, std::string>> query;
  std::string body;

  // The first value of a query parameter, if given.
  const std::string* query_value(std::string_view name) const {
    for (const auto& [key, value] : query) {
      if (key == name) return &value;
    }
    return nullptr;
  }
};

// The body of every refusal.
json::value detail_body(const std::string& detail) {
  json::object body;
  body["detail"] = detail;
  return body;
}

// Sends a reply as JSON text.
void write_reply(httplib::Response& res, const Reply& reply) {
  res.status = reply.status;
  res.set_content(json_text::to_json(reply.body), "application/json");
}

// Splits a request target ("/a/b?x=1") into decoded segments and query parameters.
Call parse_target(std::string method, std::string_view target) {
  Call call;
  call.method = std::move(method);
  std::size_t mark = target.find('?');
  std::string_view path = target.substr(0, mark);
  if (path.empty() || path.front() != '/') {
    throw Refusal(400, "The request path must start with '/'");
  }
  path.remove_prefix(1);
  while (true) {
    std::size_t slash = path.find('/');
    call.segments.push_back(percent_decode(path.substr(0, slash), false));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  if (mark == std::string_view::npos) return call;
  std::string_view query = target.substr(mark + 1);
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    if (!pair.empty()) {
      std::size_t eq = pair.find('=');
      std::string key = percent_decode(pair.substr(0, eq), true);
      std::string value =
          eq == std::string_view::npos ? std::string() : percent_decode(pair.substr(eq + 1), true);
      call.query.emplace_back(std::move(key), std::move(value));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return call;
}

// Seconds on the timeline's clock.
Clock::duration seconds_duration(double seconds) {
  // Beyond a century is forever, and stays within the clock's range.
  seconds = std::min(seconds, 3.2e9);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The length of a UTF-8 text in characters, which is what the platform's bounds count.
std::size_t char_count(std::string_view text) { return unicode::decode(text).size(); }

// Parses a request body that must be a JSON object.
json::object parse_object(const std::string& body) {
  if (body.empty()) throw Refusal(400, "The request has no body; send a JSON object");
  json::value value;
  try {
    value = json_text::parse(body);
  } catch (const json_text::JsonError& error) {
    throw Refusal(400, std::string("The request body is not valid JSON: ") + error.what());
  }
  if (!value.is_object()) throw Refusal(422, "The request body must be a JSON object");
  return std::move(value.get_object());
}

// A member that must be a non-blank text of at most `max_chars` characters.
std::string required_text(const json::object& body, const char* key, std::size_t max_chars) {
  const json::value* value = body.if_contains(key);
  if (!value || !value->is_string()) {
    throw Refusal(422, fmt::format("\"{}\" must be a text", key));
  }
  std::string text(value->get_string());
  if (unicode::trim(text).empty()) throw Refusal(422, fmt::format("\"{}\" must not be empty", key));
  if (char_count(text) > max_chars) {
    throw Refusal(422, fmt::format("\"{}\" must have at most {} characters", key, max_chars));
  }
  return text;
}

// True for a SHA-256 digest written in hexadecimal.
bool is_sha256_hex(std::string_view text) {
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](char c) { return is_hex_digit(c); });
}

// A guidance item's type; `where` names the value in the refusal.
std::string checked_type(const json::value* value, const char* where) {
  if (value && value->is_string()) {
    for (std::string_view type : kGuidanceTypes) {
      if (value->get_string() == type) return std::string(type);
    }
  }
  throw Refusal(422, fmt::format("{} must be one of goal, constraint, successCriteria, reward",
                                 where));
}

// A guidance item's conditions: null (also when absent), an object or a list.
json::value checked_conditions(const json::object& body) {
  const json::value* value = body.if_contains("conditions");
  if (!value || value->is_null()) return nullptr;
  if (!value->is_object() && !value->is_array()) {
    throw Refusal(422, "\"conditions\" must be null, an object or a list");
  }
  return *value;
}

// A guidance item's data URL: null (also when absent) or a text.
json::value checked_data_url(const json::object& body) {
  const json::value* value = body.if_contains("dataUrl");
  if (!value || value->is_null()) return nullptr;
  if (!value->is_string() || value->get_string().size() > kMaxDataUrlBytes) {
    throw Refusal(422, fmt::format("\"dataUrl\" must be null or a text of at most {} bytes",
                                   kMaxDataUrlBytes));
  }
  return *value;
}

// Checks the body that submits an analysis: the artifact, the dataset's hashes and the
// warnings.
void check_analysis(const json::object& body) {
  const json::value* artifact = body.if_contains("simulatorValidation");
  if (!artifact || !artifact->is_object()) {
    throw Refusal(422, "\"simulatorValidation\" must be an object (the simulator validation "
                       "artifact), or send {\"failure\": \"<reason>\"} to close the job");
  }
  const json::value* dataset = body.if_contains("dataset");
  if (!dataset || !dataset->is_object()) {
    throw Refusal(422, "\"dataset\" must be an object with \"contentMd5\" and \"contentSha256\"");
  }
  required_text(dataset->get_object(), "contentMd5", kMaxNameChars);
  required_text(dataset->get_object(), "contentSha256", kMaxNameChars);
  const json::value* warnings = body.if_contains("warnings");
  if (!warnings || warnings->is_null()) return;
  if (!warnings->is_array()) throw Refusal(422, "\"warnings\" must be a list of texts");
  if (warnings->get_array().size() > kMaxWarnings) {
    throw Refusal(422, fmt::format("At most {} warnings can be submitted, not {}", kMaxWarnings,
                                   warnings->get_array().size()));
  }
  for (const json::value& warning : warnings->get_array()) {
    if (!warning.is_string()) throw Refusal(422, "\"warnings\" must be a list of texts");
    if (char_count(warning.get_string()) > kMaxReasonChars) {
      throw Refusal(422, fmt::format("A warning has more than {} characters", kMaxReasonChars));
    }
  }
}

// The artifact's score, or null.
json::value score_of(const json::value& submitted) {
  const json::value* artifact = submitted.as_object().if_contains("simulatorValidation");
  if (!artifact || !artifact->is_object()) return nullptr;
  const json::value* evaluation = artifact->get_object().if_contains("evaluation");
  if (!evaluation || !evaluation->is_object()) return nullptr;
  const json::value* score = evaluation->get_object().if_contains("score_percent");
  if (!score || !score->is_number()) return nullptr;
  return *score;
}

// The "run" member of a report status.
json::value run_body(const char* status, json::value failure_code, json::value score) {
  json::object run;
  run["status"] = status;
  run["failureCode"] = std::move(failure_code);
  run["score"] = std::move(score);
  return run;
}

// A project (a use case) of an organisation.
struct Project {
  std::string id;
  std::string organization_id;
  std::string name;
};

// A published build (an implementation) of a sim.
struct Build {
  std::string id;
  std::string bundle_sha256;
  Clock::time_point published_at;
};

// A sim: a name in an organisation, with its builds in publishing order.
struct Sim {
  std::string id;
  std::string organization_id;
  std::string name;
  std::vector<Build> builds;
};

// A sim used by a project.
struct Link {
  std::string organization_id;
  std::string project_id;
  std::string sim_id;
};

// A guidance item of a project.
struct Item {
  std::string project_id;
  std::string id;
  std::string name;
  std::string type;
  json::value conditions;
  json::value data_url;
};

// An uploaded guidance file; only its size is kept.
struct File {
  std::string project_id;
  std::string filename;
  std::size_t bytes = 0;
  std::string data_url;
};

// A claimed analysis and what became of it.
struct Job {
  std::string id;
  std::string organization_id;
  std::string sim_id;
  std::string implementation_id;
  std::string dataset_id;
  std::string validation_run_id;
  bool open = true;
  // The body that closed the job, or null.
  json::value submitted;
  bool failed = false;
  Clock::time_point submitted_at;
  std::int64_t status_requests = 0;
};

// A guidance item as the API shows it.
json::value item_body(const Item& item) {
  json::object body;
  body["id"] = item.id;
  body["name"] = item.name;
  body["type"] = item.type;
  body["conditions"] = item.conditions;
  body["dataUrl"] = item.data_url;
  return body;
}

}  // namespace

// The platform's state and its server. Handlers run under `mutex`.
struct DevPlatform::Impl {
  using Handler = Reply (Impl::*)(const Call&, const std::vector<std::string>& ids);

  // A route: a method and a path pattern whose "{}" segments are ids.
  struct Route {
    std::string_view method;
    std::vector<std::string_view> pattern;
    Handler handler;
  };

  explicit Impl(PlatformOptions given);

  // The current point of the timeline.
  Clock::time_point now() const { return options.clock ? options.clock() : Clock::now(); }
  // A fresh id that looks like a UUID; its first group tells the kind.
  std::string new_id(std::uint32_t kind) {
    return fmt::format("{:08x}-0000-4000-8000-{:012x}", kind, next_id++);
  }

  // Sets up a server's handlers, bounds and log.
  void install(httplib::Server& server);
  // Answers what can be refused before the body is read.
  httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res);
  // Answers a request whose body has been read.
  void serve(const httplib::Request& req, httplib::Response& res, std::string body);
  // Runs the handler of the request's route; throws Refusal.
  Reply route(Call call);

  // Lookups that refuse with 404 (or yield null) when there is nothing to find.
  void require_organization(const std::string& org) const;
  const Project& project_in(const std::string& org, const std::string& project) const;
  Sim* find_sim(const std::string& org, const std::string& sim);
  Job& job_in(const std::vector<std::string>& ids);
  // The report status of a job at this point of the timeline.
  json::value status_of(const Job& job) const;
  // What the debug route shows.
  json::value snapshot() const;

  // The handlers of the routes, in the order of the route table.
  Reply list_projects(const Call&, const std::vector<std::string>&);
  Reply link_simulator(const Call&, const std::vector<std::string>& ids);
  Reply list_guidance(const Call&, const std::vector<std::string>& ids);
  Reply create_guidance(const Call&, const std::vector<std::string>& ids);
  Reply update_guidance(const Call&, const std::vector<std::string>& ids);
  Reply upload_file(const Call&, const std::vector<std::string>& ids);
  Reply publish_sim(const Call&, const std::vector<std::string>& ids);
  Reply claim(const Call&, const std::vector<std::string>& ids);
  Reply submit(const Call&, const std::vector<std::string>& ids);
  Reply report_status(const Call&, const std::vector<std::string>& ids);
  Reply debug_state(const Call&, const std::vector<std::string>&);
  Reply list_sims(const Call&, const std::vector<std::string>& ids);

  PlatformOptions options;
  Clock::duration build_time;
  Clock::duration report_time;
  std::vector<Route> routes;

  mutable std::mutex mutex;
  std::vector<Project> projects;
  std::vector<Sim> sims;
  std::vector<Link> links;
  std::vector<Item> items;
  std::vector<File> files;
  std::vector<Job> jobs;
  std::uint64_t next_id = 1;

  std::unique_ptr<httplib::Server> server;
  std::thread thread;
};

DevPlatform::Impl::Impl(PlatformOptions given) : options(std::move(given)) {
  auto finite_non_negative = [](double seconds) { return std::isfinite(seconds) && seconds >= 0; };
  if (!finite_non_negative(options.build_seconds) ||
      !finite_non_negative(options.report_seconds)) {
    throw std::invalid_argument("The build and report times must be non-negative seconds");
  }
  if (options.max_lag_steps < 0) throw std::invalid_argument("max_lag_steps must not be negative");
  if (options.max_body_bytes == 0) throw std::invalid_argument("max_body_bytes must be positive");
  if (options.refuse_claims && options.refuse_claims->empty()) {
    throw std::invalid_argument("The claim refusal needs a text for the user");
  }
  if (options.token && options.token->empty()) {
    throw std::invalid_argument("The token must not be empty");
  }
  build_time = seconds_duration(options.build_seconds);
  report_time = seconds_duration(options.report_seconds);
  projects = {{kWaterPlantProjectId, kOrganizationId, "Water plant"},
              {kPumpStationProjectId, kOrganizationId, "Pump station"}};

  const std::string_view any = "{}";
  auto add = [&](std::string_view method, std::vector<std::string_view> pattern,
                 Handler handler) {
    routes.push_back({method, std::move(pattern), handler});
  };
  add("GET", {"v1", "projects"}, &Impl::list_projects);
  add("POST", {"v1", "orgs", any, "projects", any, "simulators", any}, &Impl::link_simulator);
  add("GET", {"v1", "orgs", any, "projects", any, "guidance"}, &Impl::list_guidance);
  add("POST", {"v1", "orgs", any, "projects", any, "guidance"}, &Impl::create_guidance);
  add("POST", {"v1", "orgs", any, "projects", any, "guidance", "files"}, &Impl::upload_file);
  add("PUT", {"v1", "orgs", any, "projects", any, "guidance", any}, &Impl::update_guidance);
  add("POST", {"v1", "orgs", any, "sims"}, &Impl::publish_sim);
  add("GET", {"v1", "orgs", any, "sims"}, &Impl::list_sims);
  add("POST", {"v1", "orgs", any, "sims", any, "implementations", any, "report-jobs"},
      &Impl::claim);
  add("POST", {"v1", "orgs", any, "sims", any, "implementations", any, "report-jobs", any},
      &Impl::submit);
  add("GET", {"v1", "orgs", any, "sims", any, "implementations", any, "report-jobs", any},
      &Impl::report_status);
  add("GET", {"debug", "state"}, &Impl::debug_state);
}

void DevPlatform::Impl::install(httplib::Server& s) {
  // The server's default also sets SO_REUSEPORT, with which a second server on a busy port
  // binds silently and takes a share of its requests.
  s.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  s.set_payload_max_length(options.max_body_bytes);
  s.set_keep_alive_timeout(2);
  s.set_pre_routing_handler(
      [this](const httplib::Request& req, httplib::Response& res) { return guard(req, res); });
  // Every path reaches serve(), which routes by the raw target.
  const std::string any_path = "[\\s\\S]*";
  auto plain = [this](const httplib::Request& req, httplib::Response& res) {
    serve(req, res, req.body);
  };
  auto too_large_detail = [this] {
    return fmt::format("The request body is larger than {} bytes", options.max_body_bytes);
  };
  auto with_body = [this, too_large_detail](const httplib::Request& req, httplib::Response& res,
                                            const httplib::ContentReader& reader) {
    std::string body;
    bool too_large = false;
    std::size_t drained = 0;
    bool read = reader([&](const char* data, std::size_t size) {
      if (!too_large && body.size() + size <= options.max_body_bytes) {
        body.append(data, size);
        return true;
      }
      // Reads a little past the bound so that the client, still sending, gets the answer
      // rather than a reset connection.
      too_large = true;
      drained += size;
      return drained <= kMaxDrainBytes;
    });
    if (too_large || !read) {
      // The server sets 413 itself when the declared length is beyond the bound.
      res.set_header("Connection", "close");
      write_reply(res, too_large || res.status == 413
                           ? Reply{413, detail_body(too_large_detail())}
                           : Reply{400, detail_body("The request body could not be read")});
      return;
    }
    serve(req, res, std::move(body));
  };
  s.Get(any_path, plain);
  s.Delete(any_path, plain);
  s.Post(any_path, with_body);
  s.Put(any_path, with_body);
  s.Patch(any_path, with_body);

  // Gives the server's own refusals a detail too.
  install_common_handlers(s, "platform", options.log, [too_large_detail](int status) {
    if (status == 404) return std::string("There is no such route; the platform's API is under /v1");
    if (status == 413) return too_large_detail();
    return std::string();
  });
}

// Refuses what needs no body to be refused: over-long targets, forms, missing tokens.
httplib::Server::HandlerResponse DevPlatform::Impl::guard(const httplib::Request& req,
                                                          httplib::Response& res) {
  using httplib::Server;
  auto refuse = [&](int status, const std::string& detail) {
    res.set_header("Connection", "close");
    write_reply(res, {status, detail_body(detail)});
    return Server::HandlerResponse::Handled;
  };
  if (req.target.size() > kMaxTargetBytes) {
    return refuse(414, fmt::format("The request path is longer than {} bytes", kMaxTargetBytes));
  }
  if (req.is_multipart_form_data()) {
    return refuse(415, "Send JSON (or the raw bytes of a file upload), not a form");
  }
  if (!options.token) return Server::HandlerResponse::Unhandled;
  Call call;
  try {
    call = parse_target(req.method, req.target);
  } catch (const Refusal& refusal) {
    return refuse(refusal.status(), refusal.what());
  }
  if (call.segments.front() != "v1") return Server::HandlerResponse::Unhandled;
  TokenCheck check = check_bearer(req, *options.token);
  if (check != TokenCheck::kAccepted) {
    res.set_header("WWW-Authenticate", "Bearer");
    return refuse(401, check == TokenCheck::kMissing
                           ? "This platform needs a token: set VELKO_API_TOKEN"
                           : "The platform did not accept the token; check VELKO_API_TOKEN");
  }
  return Server::HandlerResponse::Unhandled;
}

void DevPlatform::Impl::serve(const httplib::Request& req, httplib::Response& res,
                              std::string body) {
  Reply reply;
  try {
    Call call = parse_target(req.method, req.target);
    call.body = std::move(body);
    reply = route(std::move(call));
  } catch (const Refusal& refusal) {
    reply = {refusal.status(), detail_body(refusal.what())};
  }
  write_reply(res, reply);
}

Reply DevPlatform::Impl::route(Call call) {
  std::vector<std::string> methods;
  for (const Route& candidate : routes) {
    if (candidate.pattern.size() != call.segments.size()) continue;
    std::vector<std::string> ids;
    bool match = true;
    for (std::size_t i = 0; i < candidate.pattern.size() && match; ++i) {
      if (candidate.pattern[i] == "{}") {
        match = !call.segments[i].empty() && call.segments[i].size() <= kMaxIdBytes;
        ids.push_back(call.segments[i]);
      } else {
        match = candidate.pattern[i] == call.segments[i];
      }
    }
    if (!match) continue;
    // HEAD is GET without the body, which the server drops.
    if (call.method != candidate.method && !(call.method == "HEAD" && candidate.method == "GET")) {
      methods.emplace_back(candidate.method);
      continue;
    }
    std::lock_guard lock(mutex);
    return (this->*candidate.handler)(call, ids);
  }
  if (!methods.empty()) {
    std::string allowed;
    for (const auto& method : methods) allowed += (allowed.empty() ? "" : " or ") + method;
    throw Refusal(405, fmt::format("{} is not served on this path; use {}", call.method, allowed));
  }
  throw Refusal(404, "There is no such route; the platform's API is under /v1");
}

void DevPlatform::Impl::require_organization(const std::string& org) const {
  if (org != kOrganizationId) {
    throw Refusal(404, "There is no organisation " + velko::quoted(org) +
                           "; GET /v1/projects shows each project's organizationId");
  }
}

const Project& DevPlatform::Impl::project_in(const std::string& org,
                                              const std::string& project) const {
  require_organization(org);
  for (const auto& candidate : projects) {
    if (candidate.id == project && candidate.organization_id == org) return candidate;
  }
  throw Refusal(404, "There is no project " + velko::quoted(project) +
                         " in the organisation; GET /v1/projects lists them");
}

Sim* DevPlatform::Impl::find_sim(const std::string& org,
                                                      const std::string& sim) {
  for (auto& candidate : sims) {
    if (candidate.id == sim && candidate.organization_id == org) return &candidate;
  }
  return nullptr;
}

Job& DevPlatform::Impl::job_in(const std::vector<std::string>& ids) {
  require_organization(ids[0]);
  for (auto& job : jobs) {
    if (job.id == ids[3] && job.organization_id == ids[0] && job.sim_id == ids[1] &&
        job.implementation_id == ids[2]) {
      return job;
    }
  }
  throw Refusal(404, "There is no report job " + velko::quoted(ids[3]) + " for this sim build");
}

Reply DevPlatform::Impl::list_projects(const Call&, const std::vector<std::string>&) {
  json::array list;
  for (const auto& project : projects) {
    json::object entry;
    entry["id"] = project.id;
    entry["organizationId"] = project.organization_id;
    entry["name"] = project.name;
    list.push_back(std::move(entry));
  }
  return {200, std::move(list)};
}

Reply DevPlatform::Impl::link_simulator(const Call& call, const std::vector<std::string>& ids) {
  const Project& project = project_in(ids[0], ids[1]);
  if (!call.body.empty()) parse_object(call.body);
  if (!find_sim(ids[0], ids[2])) {
    throw Refusal(404, "There is no sim " + velko::quoted(ids[2]) +
                           " in the organisation; publish it first");
  }
  bool linked = std::any_of(links.begin(), links.end(), [&](const Link& link) {
    return link.project_id == project.id && link.sim_id == ids[2];
  });
  if (!linked) links.push_back({ids[0], project.id, ids[2]});
  return {200, json::object()};
}

Reply DevPlatform::Impl::list_guidance(const Call& call, const std::vector<std::string>& ids) {
  const Project& project = project_in(ids[0], ids[1]);
  const std::string* name = call.query_value("name");
  std::optional<std::string> type;
  if (const std::string* given = call.query_value("type")) {
    json::value value(*given);
    type = checked_type(&value, "The type in the query");
  }
  json::array list;
  for (const auto& item : items) {
    if (item.project_id != project.id) continue;
    if (name && item.name != *name) continue;
    if (type && item.type != *type) continue;
    list.push_back(item_body(item));
  }
  return {200, std::move(list)};
}

Reply DevPlatform::Impl::create_guidance(const Call& call, const std::vector<std::string>& ids) {
  const Project& project = project_in(ids[0], ids[1]);
  json::object body = parse_object(call.body);
  Item item;
  item.project_id = project.id;
  item.type = checked_type(body.if_contains("type"), "\"type\"");
  item.name = required_text(body, "name", kMaxNameChars);
  item.conditions = checked_conditions(body);
  item.data_url = checked_data_url(body);
  for (const auto& existing : items) {
    if (existing.project_id == item.project_id && existing.name == item.name &&
        existing.type == item.type) {
      throw Refusal(409, "The project has a " + item.type + " named " + velko::quoted(item.name) +
                             " already; update it instead");
    }
  }
  item.id = new_id(kItemKind);
  items.push_back(item);
  return {201, item_body(item)};
}

Reply DevPlatform::Impl::update_guidance(const Call& call, const std::vector<std::string>& ids) {
  const Project& project = project_in(ids[0], ids[1]);
  json::object body = parse_object(call.body);
  json::value conditions = checked_conditions(body);
  json::value data_url = checked_data_url(body);
  for (auto& item : items) {
    if (item.project_id == project.id && item.id == ids[2]) {
      item.conditions = std::move(conditions);
      item.data_url = std::move(data_url);
      return {200, item_body(item)};
    }
  }
  throw Refusal(404, "There is no guidance item " + velko::quoted(ids[2]) + " in the project");
}

Reply DevPlatform::Impl::upload_file(const Call& call, const std::vector<std::string>& ids) {
  const Project& project = project_in(ids[0], ids[1]);
  const std::string* filename = call.query_value("filename");
  if (!filename || filename->empty() || *filename == "." || *filename == ".." ||
      filename->size() > kMaxFilenameBytes ||
      filename->find_first_of("/\\") != std::string::npos) {
    throw Refusal(422, fmt::format("Give the file's base name (at most {} bytes, no '/') as "
                                   "?filename=",
                                   kMaxFilenameBytes));
  }
  File file;
  file.project_id = project.id;
  file.filename = *filename;
  file.bytes = call.body.size();
  file.data_url = "dev-platform://guidance-files/" + new_id(kFileKind) + "/" +
                  http::percent_encode(*filename);
  files.push_back(file);
  json::object answer;
  answer["dataUrl"] = file.data_url;
  return {201, std::move(answer)};
}

Reply DevPlatform::Impl::publish_sim(const Call& call, const std::vector<std::string>& ids) {
  require_organization(ids[0]);
  json::object body = parse_object(call.body);
  std::string name = required_text(body, "name", kMaxNameChars);
  const json::value* sha = body.if_contains("bundleSha256");
  if (!sha || !sha->is_string() || !is_sha256_hex(sha->get_string())) {
    throw Refusal(422, "\"bundleSha256\" must be the bundle's SHA-256 in 64 hex digits");
  }
  auto sim = std::find_if(sims.begin(), sims.end(), [&](const Sim& candidate) {
    return candidate.organization_id == ids[0] && candidate.name == name;
  });
  if (sim == sims.end()) {
    sims.push_back({new_id(kSimKind), ids[0], name, {}});
    sim = sims.end() - 1;
  }
  sim->builds.push_back({new_id(kBuildKind), std::string(sha->get_string()), now()});
  json::object answer;
  answer["simId"] = sim->id;
  answer["implementationId"] = sim->builds.back().id;
  answer["name"] = sim->name;
  return {201, std::move(answer)};
}

Reply DevPlatform::Impl::claim(const Call& call, const std::vector<std::string>& ids) {
  require_organization(ids[0]);
  json::object body = parse_object(call.body);
  const json::value* dataset = body.if_contains("datasetId");
  if (!dataset || !dataset->is_string() || dataset->get_string().empty() ||
      dataset->get_string().size() > kMaxIdBytes) {
    throw Refusal(422, "\"datasetId\" must be the dataset's id");
  }
  if (options.refuse_claims) throw Refusal(409, *options.refuse_claims);
  Sim* sim = find_sim(ids[0], ids[1]);
  if (!sim) {
    throw Refusal(409, "There is no sim " + velko::quoted(ids[1]) +
                           " in the organisation; publish it before claiming its analysis");
  }
  bool known_build = std::any_of(sim->builds.begin(), sim->builds.end(),
                                 [&](const Build& build) { return build.id == ids[2]; });
  if (!known_build) {
    throw Refusal(409, "The sim " + velko::quoted(sim->name) + " has no build " +
                           velko::quoted(ids[2]));
  }
  for (const auto& job : jobs) {
    if (job.sim_id == sim->id && job.open) {
      throw Refusal(409, "The analysis of " + velko::quoted(sim->name) +
                             " is claimed already (job " + job.id +
                             "); wait for that job to finish");
    }
  }
  Job job;
  job.id = new_id(kJobKind);
  job.organization_id = ids[0];
  job.sim_id = sim->id;
  job.implementation_id = ids[2];
  job.dataset_id = std::string(dataset->get_string());
  job.validation_run_id = new_id(kRunKind);
  jobs.push_back(job);
  json::object answer;
  answer["jobId"] = job.id;
  answer["simulatorId"] = job.sim_id;
  answer["simulatorImplementationId"] = job.implementation_id;
  answer["validationRunId"] = job.validation_run_id;
  answer["maxLagSteps"] = options.max_lag_steps;
  answer["datasetId"] = job.dataset_id;
  return {201, std::move(answer)};
}

Reply DevPlatform::Impl::submit(const Call& call, const std::vector<std::string>& ids) {
  Job& job = job_in(ids);
  if (!job.open) {
    throw Refusal(409, "The report job " + job.id + " is closed already; claim the analysis again");
  }
  json::object body = parse_object(call.body);
  if (body.contains("failure")) {
    if (body.contains("simulatorValidation")) {
      throw Refusal(422, "A submission is either a failure or an analysis, not both");
    }
    required_text(body, "failure", kMaxReasonChars);
    job.failed = true;
  } else {
    check_analysis(body);
  }
  job.open = false;
  job.submitted = std::move(body);
  job.submitted_at = now();
  return {200, json::object()};
}

json::value DevPlatform::Impl::status_of(const Job& job) const {
  Clock::time_point at = now();
  Clock::time_point published_at{};
  for (const auto& sim : sims) {
    for (const auto& build : sim.builds) {
      if (build.id == job.implementation_id) published_at = build.published_at;
    }
  }
  Clock::time_point landed_at = published_at + build_time;
  bool landed = at >= landed_at;
  json::object status;
  status["buildStatus"] = !landed ? "BUILDING" : options.fail_build ? "ERROR" : "READY";
  status["buildMapped"] = landed && !options.fail_build;
  if (job.open || (!job.failed && !landed)) {
    status["eventStatus"] = "pending";
    status["run"] = nullptr;
  } else if (job.failed) {
    status["eventStatus"] = "failed";
    status["run"] = run_body("failed", "ANALYSIS_FAILED", nullptr);
  } else if (options.fail_build) {
    status["eventStatus"] = "failed";
    status["run"] = run_body("failed", "BUILD_FAILED", nullptr);
  } else if (options.stall_report || at < std::max(job.submitted_at, landed_at) + report_time) {
    status["eventStatus"] = "running";
    status["run"] = run_body("writing", nullptr, nullptr);
  } else {
    status["eventStatus"] = "done";
    status["run"] = run_body("ready", nullptr, score_of(job.submitted));
  }
  json::array used_by;
  for (const auto& link : links) {
    if (link.sim_id != job.sim_id) continue;
    for (const auto& project : projects) {
      if (project.id != link.project_id) continue;
      json::object entry;
      entry["projectId"] = project.id;
      entry["projectName"] = project.name;
      used_by.push_back(std::move(entry));
    }
  }
  status["projects"] = std::move(used_by);
  return status;
}

Reply DevPlatform::Impl::report_status(const Call&, const std::vector<std::string>& ids) {
  Job& job = job_in(ids);
  ++job.status_requests;
  return {200, status_of(job)};
}

json::value DevPlatform::Impl::snapshot() const {
  json::array claims;
  for (const auto& job : jobs) {
    json::object entry;
    entry["jobId"] = job.id;
    entry["simId"] = job.sim_id;
    entry["implementationId"] = job.implementation_id;
    entry["datasetId"] = job.dataset_id;
    entry["open"] = job.open;
    entry["submitted"] = job.submitted;
    entry["statusRequests"] = job.status_requests;
    claims.push_back(std::move(entry));
  }
  json::array link_list;
  for (const auto& link : links) {
    json::object entry;
    entry["organizationId"] = link.organization_id;
    entry["projectId"] = link.project_id;
    entry["simId"] = link.sim_id;
    link_list.push_back(std::move(entry));
  }
  json::array guidance;
  for (const auto& item : items) {
    json::object entry;
    entry["projectId"] = item.project_id;
    json::value body = item_body(item);
    for (const auto& member : body.get_object()) entry[member.key()] = member.value();
    guidance.push_back(std::move(entry));
  }
  json::array sim_list;
  for (const auto& sim : sims) {
    json::array builds;
    for (const auto& build : sim.builds) {
      json::object entry;
      entry["implementationId"] = build.id;
      entry["bundleSha256"] = build.bundle_sha256;
      builds.push_back(std::move(entry));
    }
    json::object entry;
    entry["simId"] = sim.id;
    entry["name"] = sim.name;
    entry["implementations"] = std::move(builds);
    sim_list.push_back(std::move(entry));
  }
  json::array file_list;
  for (const auto& file : files) {
    json::object entry;
    entry["projectId"] = file.project_id;
    entry["filename"] = file.filename;
    entry["bytes"] = file.bytes;
    entry["dataUrl"] = file.data_url;
    file_list.push_back(std::move(entry));
  }
  json::object state;
  state["claims"] = std::move(claims);
  state["links"] = std::move(link_list);
  state["guidance"] = std::move(guidance);
  state["sims"] = std::move(sim_list);
  state["files"] = std::move(file_list);
  return state;
}

Reply DevPlatform::Impl::debug_state(const Call&, const std::vector<std::string>&) {
  return {200, snapshot()};
}

Reply DevPlatform::Impl::list_sims(const Call&, const std::vector<std::string>& ids) {
  require_organization(ids[0]);
  std::vector<ListedSim> listed;
  for (const Sim& sim : sims) {
    if (sim.organization_id != ids[0]) continue;
    ListedSim entry{sim.id, sim.name, std::nullopt, {}};
    if (!sim.builds.empty()) {
      const Build& build = sim.builds.back();
      entry.latest_build = ListedBuild{build.id, now() >= build.published_at + build_time,
                                       options.fail_build};
    }
    for (const Link& link : links) {
      if (link.sim_id != sim.id) continue;
      for (const Project& project : projects) {
        if (project.id == link.project_id) entry.projects.emplace_back(project.id, project.name);
      }
    }
    listed.push_back(std::move(entry));
  }
  return {200, sim_list_body(listed)};
}

DevPlatform::DevPlatform(PlatformOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

DevPlatform::~DevPlatform() { stop(); }

int DevPlatform::start(const std::string& host, int port) {
  if (port < 0 || port > 65535) throw std::invalid_argument("The port must be from 0 to 65535");
  if (impl_->server) throw std::logic_error("The platform is serving already");
  auto server = std::make_unique<httplib::Server>();
  impl_->install(*server);
  int bound = port == 0 ? server->bind_to_any_port(host)
                        : (server->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    throw std::runtime_error(fmt::format(
        "Cannot listen on {}:{}: the address is not available or the port is in use", host, port));
  }
  httplib::Server* raw = server.get();
  impl_->server = std::move(server);
  impl_->thread = std::thread([raw] { raw->listen_after_bind(); });
  // The server has no "ready" signal of its own.
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!raw->is_running()) {
    if (Clock::now() > deadline) {
      stop();
      throw std::runtime_error(fmt::format("The platform did not start serving on {}:{}", host,
                                           bound));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return bound;
}

void DevPlatform::stop() {
  if (!impl_->server) return;
  impl_->server->stop();
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_->server.reset();
}

json::value DevPlatform::state() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->snapshot();
}

}  // namespace velko::dev
