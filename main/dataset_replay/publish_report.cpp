#include "main/dataset_replay/publish_report.h"

#include <cmath>
#include <exception>
#include <optional>
#include <stdexcept>
#include <vector>

#include <spdlog/logger.h>
#include <boost/asio/this_coro.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/api_status_error.h"
#include "common/console.h"
#include "common/errors.h"
#include "common/json_access.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "common/unicode.h"
#include "main/dataset_replay/analysis.h"
#include "main/dataset_replay/dataset_module.h"
#include "main/dataset_replay/report_platform.h"
#include "main/dataset_replay/report_run.h"
#include "main/dataset_replay/report_wait.h"
#include "main/dataset_replay/sensor_results.h"

namespace velko::dataset_replay {

namespace json = boost::json;

namespace {

// Most characters of a reason or a warning sent to the platform.
constexpr std::size_t kMaxTextCharacters = 500;
// Most warnings sent with a submission.
constexpr std::size_t kMaxWarnings = 50;

constexpr std::string_view kNoArtifactReason = "The analysis could not be reported to the platform";

bool is_line_break(char32_t c) {
  switch (c) {
    case U'\n':
    case U'\r':
    case U'\v':
    case U'\f':
    case U'\x1c':
    case U'\x1d':
    case U'\x1e':
    case U'\x85':
    case U'\u2028':
    case U'\u2029':
      return true;
    default:
      return false;
  }
}

// The job id of a claim, which every later call of the run carries.
std::string job_id_of(const json::value& claim) {
  const json::value& id = json_access::at(claim, "jobId", "the platform's claim");
  if (id.is_string()) return std::string(id.get_string());
  if (id.is_int64() || id.is_uint64()) return number_text(id);
  json_access::wrong_type("the platform's claim", "jobId", "a text", id);
}

// The result's warnings as texts: absent, none or empty give none.
std::vector<std::string> warnings_of(const json::value& result) {
  const json::value* warnings =
      json_access::find(result, "warnings", "the compute node's analysis");
  std::vector<std::string> texts;
  if (json_access::is_none(warnings)) return texts;
  if (!warnings->is_array()) {
    json_access::wrong_type("the compute node's analysis", "warnings", "a list of texts",
                            *warnings);
  }
  for (const auto& warning : warnings->get_array()) texts.push_back(as_text(warning));
  return texts;
}

// The success submission: the artifact unchanged, the dataset's hashes, bounded warnings.
json::object success_body(const json::value& artifact, const json::value& result,
                          const std::vector<std::string>& warnings) {
  constexpr std::string_view kWhat = "the compute node's analysis";
  const json::value& dataset = json_access::at(result, "dataset", kWhat);
  json::object hashes;
  hashes["contentMd5"] = json_access::at(dataset, "content_md5", "the analysis's \"dataset\"");
  hashes["contentSha256"] =
      json_access::at(dataset, "content_sha256", "the analysis's \"dataset\"");
  json::array sent;
  for (std::size_t i = 0; i < warnings.size() && i < kMaxWarnings; ++i) {
    sent.emplace_back(first_characters(warnings[i], kMaxTextCharacters));
  }
  json::object body;
  body["simulatorValidation"] = artifact;
  body["dataset"] = std::move(hashes);
  body["warnings"] = std::move(sent);
  return body;
}

// The analysis line: "Analyzed {n} episodes: score {score}".
// The artifact's score (analysis_line has checked its shape); none when it has none.
std::optional<double> score_of(const json::value& artifact) {
  const json::value* score = json_access::find(artifact.at("evaluation"), "score_percent",
                                               "the artifact's \"evaluation\"");
  if (json_access::is_none(score) || !score->is_number()) return std::nullopt;
  const double value = score->to_number<double>();
  return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

std::string analysis_line(const json::value& artifact) {
  constexpr std::string_view kWhat = "the simulator validation artifact";
  const json::value& evaluation = json_access::at(artifact, "evaluation", kWhat);
  const json::value* score =
      json_access::find(evaluation, "score_percent", "the artifact's \"evaluation\"");
  std::string score_text = "-";
  if (!json_access::is_none(score)) {
    if (!score->is_number()) {
      json_access::wrong_type("the artifact's \"evaluation\"", "score_percent", "a number", *score);
    }
    score_text = number_text(*score);
  }
  const json::value& dataset = json_access::at(artifact, "dataset", kWhat);
  const json::value& selected =
      json_access::at(dataset, "selected_episodes", "the artifact's \"dataset\"");
  if (!selected.is_array()) {
    json_access::wrong_type("the artifact's \"dataset\"", "selected_episodes", "a list", selected);
  }
  return "[green]✓[/green] Analyzed " + std::to_string(selected.get_array().size()) +
         " episodes: score " + score_text;
}

// Refuses parameters with which the analysis could only fail once the claim is open.
void check_options(const PublishReportOptions& options) {
  if (options.max_episodes < 1) {
    throw std::invalid_argument("The most episodes to replay must be at least 1, not " +
                                std::to_string(options.max_episodes));
  }
  if (options.sims < 0 || options.sims > MAX_SIM_PROCESSES) {
    throw std::invalid_argument("The sim processes must be from 1 to " +
                                std::to_string(MAX_SIM_PROCESSES) + " (0: one a core), not " +
                                std::to_string(options.sims));
  }
  if (!std::isfinite(options.call_timeout_s) || options.call_timeout_s <= 0) {
    throw std::invalid_argument(
        "The time limit of a sim call must be a number of seconds "
        "greater than 0, not " +
        float_repr(options.call_timeout_s));
  }
  if (options.env_init) {
    try {
      json_text::to_json(*options.env_init);
    } catch (const std::domain_error&) {
      throw std::invalid_argument(
          "The sim's initial settings hold a number that is not finite, which JSON cannot carry");
    }
  }
}

}  // namespace

std::string first_characters(std::string_view text, std::size_t n) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Count lead bytes only, so a cut never splits a character.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (count == n) return std::string(text.substr(0, i));
      ++count;
    }
  }
  return std::string(text);
}

std::string failure_reason(const std::exception_ptr& error) {
  std::string message = unicode::trim(error_text(error));
  if (message.empty()) return type_name(error);
  std::u32string code_points = unicode::decode(message);
  std::size_t end = 0;
  while (end < code_points.size() && !is_line_break(code_points[end])) ++end;
  return first_characters(unicode::encode(std::u32string_view(code_points).substr(0, end)),
                          kMaxTextCharacters);
}

awaitable<bool> close_claim(const ReportRun& run, ReportJob job, std::string reason) {
  json::object body;
  body["failure"] = reason;
  std::exception_ptr failure;
  try {
    co_await run.api.publish_report_submit(job, json::value(std::move(body)));
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure && !is_interrupt(failure)) {
    run.logger.debug("Could not close the report claim {}: {}", job.job_id, error_text(failure));
  } else if (failure) {
    // A second interrupt ends the run at once; the user must know what it left behind.
    run.console.print("[yellow]Interrupted while closing the report claim " +
                      escape_markup(job.job_id) +
                      ": it may still be open on the platform[/yellow]");
    std::rethrow_exception(failure);
  }
  co_return !failure;
}

awaitable<LocalDataset> prepare_report(const ReportRun& run, std::string dataset_ref,
                                       PublishReportOptions options) {
  check_options(options);
  LocalDataset dataset = co_await run.datasets.resolve_local_dataset(dataset_ref);
  // The analysis picks its episodes from the count; without one it could only close the claim.
  std::optional<std::int64_t> count;
  if (dataset.cycles) count = dataset.cycles->count;
  if (!count || *count == 0) {
    throw PublishReportError("The episode count of '" + dataset.name +
                             "' is unknown; run `velko data stats " + dataset.name + "` first");
  }
  co_return dataset;
}

awaitable<void> publish_report(const ReportRun& run, std::string org_id, std::string sim_id,
                               std::string sim_name, std::string implementation_id,
                               std::string path, std::string bundle_sha256, std::string dataset_ref,
                               PublishReportOptions options) {
  LocalDataset dataset = co_await prepare_report(run, dataset_ref, options);
  co_await publish_report(run, org_id, sim_id, sim_name, implementation_id, path, bundle_sha256,
                          std::move(dataset), std::move(options));
}

awaitable<void> publish_report(const ReportRun& run, std::string org_id, std::string sim_id,
                               std::string sim_name, std::string implementation_id,
                               std::string path, std::string bundle_sha256, LocalDataset dataset,
                               PublishReportOptions options) {
  check_options(options);
  ReportPlatform& api = run.api;
  // What the run finds, for the caller; a scratch one when the caller keeps none.
  ReportOutcome scratch;
  ReportOutcome& outcome = options.outcome ? *options.outcome : scratch;
  outcome.dataset_id = dataset.id;
  outcome.dataset_name = dataset.name;

  if (options.project_id && !options.project_id->empty()) {
    co_await api.link_simulator(org_id, *options.project_id, sim_id);
    run.console.print("[green]✓[/green] Added the sim to the use case");
  }

  json::value claim;
  {
    std::exception_ptr refusal;
    try {
      claim = co_await api.publish_report_start(org_id, sim_id, implementation_id, dataset.id);
    } catch (const APIStatusError&) {
      refusal = std::current_exception();
    }
    if (refusal) {
      try {
        std::rethrow_exception(refusal);
      } catch (const APIStatusError& error) {
        std::throw_with_nested(PublishReportError(error.detail()));
      }
    }
  }

  const ReportJob job{org_id, sim_id, implementation_id, job_id_of(claim)};
  outcome.claimed = true;

  json::value result;
  std::exception_ptr failure;
  try {
    ReplayOptions replay;
    replay.max_episodes = options.max_episodes;
    if (options.env_init) replay.env_init = *options.env_init;
    replay.call_timeout_s = options.call_timeout_s;
    replay.run_seed = options.seed;
    replay.sims = options.sims;
    AnalyzeFn stage = run.analyze ? run.analyze : AnalyzeFn(analyze);
    result = co_await stage(run, path, claim, dataset, bundle_sha256, std::move(replay));
  } catch (...) {
    failure = as_interrupt_if_cancelled(std::current_exception());
  }
  if (failure) {
    // The claim is closed on every ending of the analysis, an interrupt included.
    co_await boost::asio::this_coro::reset_cancellation_state();
    outcome.claim_closed = co_await close_claim(run, job, failure_reason(failure));
    std::rethrow_exception(failure);
  }

  std::vector<std::string> warnings = warnings_of(result);
  outcome.analyzed = true;
  outcome.warnings = warnings;
  read_node_summary(result, outcome);
  for (const auto& warning : warnings) {
    run.console.print("[dim]warning: " + escape_markup(warning) + "[/dim]");
  }

  const json::value* artifact =
      json_access::find(result, "simulator_validation", "the compute node's analysis");
  if (json_access::is_none(artifact)) {
    std::string reason;
    for (const auto& warning : warnings) {
      if (!reason.empty()) reason += "; ";
      reason += warning;
    }
    reason = first_characters(reason, kMaxTextCharacters);
    if (reason.empty()) reason = kNoArtifactReason;
    outcome.claim_closed = co_await close_claim(run, job, reason);
    throw PublishReportError(reason);
  }

  run.console.print(analysis_line(*artifact));
  outcome.score = score_of(*artifact);
  // The node's figures per sensor, worst first, where the artifact has them in a shape velko
  // knows; another node's artifact shows none.
  outcome.sensors = sensor_results(*artifact);
  if (outcome.sensors) {
    run.console.print_table(sensor_table(*outcome.sensors));
  } else {
    run.logger.debug("The artifact gives no per-sensor figures that velko reads: no table");
  }
  co_await api.publish_report_submit(job, json::value(success_body(*artifact, result, warnings)));

  json::value status = co_await wait_for_reports(run, job);
  render_reports(run.console, status, sim_name);
  outcome.report = report_json(status);
}

}  // namespace velko::dataset_replay
