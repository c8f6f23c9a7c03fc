#include "main/dataset_replay/report_wait.h"

#include <chrono>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/console.h"
#include "common/json_access.h"
#include "common/literal.h"
#include "main/dataset_replay/report_platform.h"
#include "main/dataset_replay/report_run.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {

namespace json = boost::json;

namespace {

constexpr std::string_view kStatus = "the platform's report status";
constexpr std::string_view kRun = "the report status's \"run\"";

// A text member that may be absent or none.
std::optional<std::string> optional_text(const json::value& map, std::string_view key,
                                         std::string_view what) {
  const json::value* value = json_access::find(map, key, what);
  if (json_access::is_none(value)) return std::nullopt;
  if (!value->is_string()) json_access::wrong_type(what, key, "a text", *value);
  return std::string(value->get_string());
}

// A flag: absent, none, false (and an empty text or list) count as not set.
bool flag(const json::value& map, std::string_view key, std::string_view what) {
  const json::value* value = json_access::find(map, key, what);
  if (json_access::is_none(value)) return false;
  if (value->is_bool()) return value->get_bool();
  if (value->is_string()) return !value->get_string().empty();
  json_access::wrong_type(what, key, "true or false", *value);
}

bool build_failed(const json::value& status) {
  return optional_text(status, "buildStatus", kStatus) == "ERROR";
}

// The run map, or nullptr when it is absent or none.
const json::value* run_of(const json::value& status) {
  const json::value* run = json_access::find(status, "run", kStatus);
  if (json_access::is_none(run)) return nullptr;
  if (!run->is_object()) json_access::wrong_type(kStatus, "run", "a map or null", *run);
  return run;
}

std::string run_status(const json::value& run) {
  const json::value& status = json_access::at(run, "status", kRun);
  if (!status.is_string()) json_access::wrong_type(kRun, "status", "a text", status);
  return std::string(status.get_string());
}

std::string state_label(const json::value& run) {
  std::string status = run_status(run);
  if (status == "ready") return "[green]ready[/green]";
  if (status == "failed") {
    const json::value* code = json_access::find(run, "failureCode", kRun);
    std::string text = json_access::is_none(code) ? std::string() : as_text(*code);
    if (text.empty()) text = "unknown";
    return "[red]failed (" + escape_markup(text) + ")[/red]";
  }
  return escape_markup(status);
}

std::string score_text(const json::value& run) {
  const json::value* score = json_access::find(run, "score", kRun);
  if (json_access::is_none(score)) return "-";
  if (!score->is_number()) json_access::wrong_type(kRun, "score", "a number", *score);
  return fixed_one_decimal(score->to_number<double>());
}

// The names of the use cases that show the report.
std::vector<std::string> project_names(const json::value& status) {
  const json::value* projects = json_access::find(status, "projects", kStatus);
  std::vector<std::string> names;
  if (json_access::is_none(projects)) return names;
  if (!projects->is_array()) json_access::wrong_type(kStatus, "projects", "a list", *projects);
  for (const auto& project : projects->get_array()) {
    const json::value& name = json_access::at(project, "projectName", "a report status project");
    if (!name.is_string()) {
      json_access::wrong_type("a report status project", "projectName", "a text", name);
    }
    names.emplace_back(name.get_string());
  }
  return names;
}

}  // namespace

bool report_settled(const json::value& status) {
  std::optional<std::string> event = optional_text(status, "eventStatus", kStatus);
  if (event != "done" && event != "failed") return false;
  const json::value* run = run_of(status);
  if (!run) return true;
  std::string state = run_status(*run);
  return state == "ready" || state == "failed";
}

awaitable<json::value> wait_for_reports(const ReportRun& run, ReportJob job) {
  const Timings& timing = run.timings;
  auto deadline = std::chrono::steady_clock::now() + seconds_to_duration(timing.report_timeout_s);
  auto line = run.console.status("Writing the simulation report...");
  while (true) {
    json::value status = co_await run.api.publish_report_status(job);
    json_access::as_map(status, kStatus);
    if (build_failed(status) || !flag(status, "buildMapped", kStatus)) co_return status;
    if (report_settled(status) || std::chrono::steady_clock::now() > deadline) co_return status;
    co_await sleep_seconds(timing.report_poll_s);
  }
}

json::object report_json(const json::value& status) {
  json::object out{
      {"build", "building"}, {"status", nullptr}, {"score", nullptr}, {"use_cases", json::array()}};
  if (build_failed(status)) {
    out["build"] = "failed";
    return out;
  }
  if (!flag(status, "buildMapped", kStatus)) return out;
  out["build"] = "ready";
  json::array use_cases;
  for (const std::string& name : project_names(status)) use_cases.emplace_back(name);
  out["use_cases"] = std::move(use_cases);
  if (const json::value* run = run_of(status)) {
    out["status"] = run_status(*run);
    const json::value* score = json_access::find(*run, "score", kRun);
    if (!json_access::is_none(score)) {
      if (!score->is_number()) json_access::wrong_type(kRun, "score", "a number", *score);
      out["score"] = score->to_number<double>();
    }
  }
  return out;
}

void render_reports(Console& console, const json::value& status, const std::string& sim_name) {
  std::string name = escape_markup(sim_name);
  if (build_failed(status)) {
    console.print("[red]The platform could not build '" + name +
                  "', so no report will be written. Check it with `velko sim list` and "
                  "`velko sim validate`.[/red]");
    return;
  }
  if (!flag(status, "buildMapped", kStatus)) {
    console.print("[green]✓[/green] Submitted. The platform is still building '" + name +
                  "'; its simulation report appears under the Reports of every use case "
                  "using it once the build is done.");
    return;
  }
  const json::value* run = run_of(status);
  if (!report_settled(status)) {
    console.print(
        "[yellow]The platform is still writing the report; it appears under the "
        "Reports of every use case using the sim when it is done.[/yellow]");
  }
  if (!run) return;
  std::string label = state_label(*run);
  std::string score = score_text(*run);
  std::vector<std::string> projects = project_names(status);
  std::string use_cases;
  for (const auto& project : projects) {
    if (!use_cases.empty()) use_cases += ", ";
    use_cases += project;
  }
  if (use_cases.empty()) use_cases = "-";
  Table table{"Simulation report",
              {"Report", "Score", "Use cases"},
              {{label, score, escape_markup(use_cases)}}};
  console.print_table(table);
  if (projects.empty()) {
    console.print("[yellow]No use case uses '" + name +
                  "' yet. The report appears in any use case you add it to (or pass "
                  "--project).[/yellow]");
  }
}

}  // namespace velko::dataset_replay
