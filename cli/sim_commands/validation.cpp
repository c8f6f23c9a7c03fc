#include "cli/sim_commands/validation.h"

#include <algorithm>

#include <fmt/format.h>
#include <boost/json/array.hpp>

#include "common/console.h"
#include "host/host.h"

namespace velko::sim_commands {

namespace json = boost::json;

namespace {

// Indentation of the sim's output under a failed check.
constexpr const char* kOutputIndent = "    ";

const char* status_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::kPassed:
      return "passed";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kNotChecked:
      return "not_checked";
    case Outcome::kWarning:
      return "warning";
    case Outcome::kSkipped:
      return "skipped";
  }
  return "";
}

}  // namespace

void CallTimes::add(const std::string& call, double seconds) {
  for (auto& [name, times] : calls_) {
    if (name == call) {
      times.push_back(seconds);
      return;
    }
  }
  calls_.push_back({call, {seconds}});
}

std::vector<CallTimes::Summary> CallTimes::summaries() const {
  std::vector<Summary> out;
  for (const auto& [name, times] : calls_) {
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    std::size_t n = sorted.size();
    double median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    out.push_back({name, n, median, sorted.back()});
  }
  return out;
}

Validation::Validation() {
  for (std::size_t i = 0; i < kCheckCount; ++i) {
    CheckResult result;
    result.check = static_cast<Check>(i);
    checks.push_back(std::move(result));
  }
}

bool Validation::passed() const {
  return std::all_of(checks.begin(), checks.end(), [](const CheckResult& result) {
    return result.outcome == Outcome::kPassed || result.outcome == Outcome::kWarning ||
           result.outcome == Outcome::kSkipped;
  });
}

const char* check_name(Check check) {
  switch (check) {
    case Check::kStart:
      return "start";
    case Check::kSetUp:
      return "set_up";
    case Check::kMappings:
      return "mappings";
    case Check::kSpaces:
      return "spaces";
    case Check::kReset:
      return "reset";
    case Check::kSteps:
      return "steps";
    case Check::kCallTimes:
      return "call_times";
    case Check::kStepsAhead:
      return "steps_ahead";
    case Check::kClose:
      return "close";
  }
  return "";
}

const char* check_title(Check check) {
  switch (check) {
    case Check::kStart:
      return "Start";
    case Check::kSetUp:
      return "Init and Make";
    case Check::kMappings:
      return "Mappings";
    case Check::kSpaces:
      return "Spaces";
    case Check::kReset:
      return "Reset";
    case Check::kSteps:
      return "Steps";
    case Check::kCallTimes:
      return "Call times";
    case Check::kStepsAhead:
      return "Steps sent ahead";
    case Check::kClose:
      return "Close";
  }
  return "";
}

std::string duration_text(double seconds) {
  if (seconds < 0.01) return fmt::format("{:.2f} ms", seconds * 1e3);
  if (seconds < 1) return fmt::format("{:.1f} ms", seconds * 1e3);
  return fmt::format("{:.2f} s", seconds);
}

void print_validation(Console& console, const Validation& validation) {
  for (const CheckResult& result : validation.checks) {
    std::string title = check_title(result.check);
    switch (result.outcome) {
      case Outcome::kPassed:
        console.print("[green]✓[/green] " + title + ": " +
                      escape_markup(printable(result.summary)));
        break;
      case Outcome::kWarning:
      case Outcome::kFailed: {
        std::string mark =
            result.outcome == Outcome::kFailed ? "[red]✗[/red] " : "[yellow]![/yellow] ";
        std::string line = mark + title + ": " + escape_markup(printable(result.summary));
        if (!result.advice.empty()) line += "; " + escape_markup(printable(result.advice));
        console.print(line);
        if (!result.output.empty()) {
          std::string block;
          std::size_t start = 0;
          while (start <= result.output.size()) {
            std::size_t end = result.output.find('\n', start);
            if (end == std::string::npos) end = result.output.size();
            if (!block.empty()) block += "\n";
            block += kOutputIndent + result.output.substr(start, end - start);
            start = end + 1;
          }
          console.print("[dim]" + escape_markup(printable(block)) + "[/dim]");
        }
        break;
      }
      case Outcome::kNotChecked:
      case Outcome::kSkipped:
        console.print(
            "[dim]- " + title + ": " +
            escape_markup(result.summary.empty() ? "not checked" : printable(result.summary)) +
            "[/dim]");
        break;
    }
  }
  std::vector<CallTimes::Summary> calls = validation.times.summaries();
  if (calls.empty()) return;
  Table table{"Call times", {"Call", "Calls", "Median", "Slowest"}, {}};
  for (const CallTimes::Summary& call : calls) {
    table.rows.push_back({cell_text(call.call), std::to_string(call.count),
                          duration_text(call.median_s), duration_text(call.slowest_s)});
  }
  console.print_table(table);
}

json::object validation_json(const Validation& validation) {
  json::object out;
  out["path"] = validation.path;
  out["passed"] = validation.passed();
  out["seed"] = validation.seed;
  json::object steps;
  steps["asked"] = validation.steps_asked;
  steps["done"] = validation.steps_done;
  out["steps"] = std::move(steps);
  out["episodes"] = validation.episodes;
  out["call_timeout_s"] = validation.call_timeout_s;
  json::array checks;
  for (const CheckResult& result : validation.checks) {
    json::object check;
    check["check"] = check_name(result.check);
    check["title"] = check_title(result.check);
    check["status"] = status_name(result.outcome);
    check["summary"] = result.summary;
    check["advice"] = result.advice;
    check["output"] = result.output;
    checks.push_back(std::move(check));
  }
  out["checks"] = std::move(checks);
  json::array calls;
  for (const CallTimes::Summary& summary : validation.times.summaries()) {
    json::object call;
    call["call"] = summary.call;
    call["count"] = summary.count;
    call["median_s"] = summary.median_s;
    call["slowest_s"] = summary.slowest_s;
    calls.push_back(std::move(call));
  }
  out["calls"] = std::move(calls);
  return out;
}

std::string failed_checks_text(const Validation& validation) {
  std::string text;
  for (const CheckResult& result : validation.checks) {
    if (result.outcome != Outcome::kFailed) continue;
    if (!text.empty()) text += "; ";
    text += std::string(check_title(result.check)) + ": " + result.summary;
    if (!result.advice.empty()) text += " (" + result.advice + ")";
  }
  return text;
}

}  // namespace velko::sim_commands
