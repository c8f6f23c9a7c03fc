// The report run of a published sim: claim the build's analysis, analyze, submit, wait,
// print. The claim is closed with a reason on every failure of the analysis.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/async.h"
#include "main/dataset_replay/dataset_module.h"
#include "main/dataset_replay/report_job.h"
#include "main/dataset_replay/report_outcome.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {

struct ReportRun;

// The parameters that can only be given by name.
struct PublishReportOptions {
  std::optional<std::string> project_id;
  int max_episodes = DEFAULT_MAX_EPISODES;
  std::optional<boost::json::object> env_init;
  double call_timeout_s = DEFAULT_CALL_TIMEOUT_S;
  // The run seed: each episode's reset gets a seed made from it and the episode's identifier.
  std::uint64_t seed = 0;
  // Processes of the sim that the episodes are spread over (0: one a core, at most one an
  // episode; at most MAX_SIM_PROCESSES).
  int sims = 1;
  // Filled in with what the run finds as it goes (none: not kept). Lent by the caller.
  ReportOutcome* outcome = nullptr;
};

// The checks of a report run that create nothing on the platform, in this order: the options
// (those the analysis could not run with, refused with std::invalid_argument), the dataset
// `dataset_ref` on the compute node (which also finds a node that is not running) and its
// episode count (PublishReportError when it is unknown). A host that publishes the sim's build
// before the report calls this first, so a run that cannot start publishes nothing.
awaitable<LocalDataset> prepare_report(const ReportRun& run, std::string dataset_ref,
                                       PublishReportOptions options);

// Makes the simulation report of a sim build published with the dataset that prepare_report
// found. Options that the analysis could not run with (no episodes, a time limit that is not a
// positive number, initial settings with a number that is not finite) are refused with
// std::invalid_argument before anything is asked of the platform.
awaitable<void> publish_report(const ReportRun& run, std::string org_id, std::string sim_id,
                               std::string sim_name, std::string implementation_id,
                               std::string path, std::string bundle_sha256, LocalDataset dataset,
                               PublishReportOptions options = {});

// prepare_report, then publish_report with the dataset found.
awaitable<void> publish_report(const ReportRun& run, std::string org_id, std::string sim_id,
                               std::string sim_name, std::string implementation_id,
                               std::string path, std::string bundle_sha256, std::string dataset_ref,
                               PublishReportOptions options = {});

// Records why there is no analysis, so the claim isn't left waiting on an upload; true when
// the platform took it. Ordinary errors are only logged (false); interrupts go on.
awaitable<bool> close_claim(const ReportRun& run, ReportJob job, std::string reason);

// The reason for closing a claim after an error: the first line of its trimmed message, cut
// to 500 characters, or the error's type name when the message is blank.
std::string failure_reason(const std::exception_ptr& error);

// Cuts a text to its first `n` characters (code points).
std::string first_characters(std::string_view text, std::size_t n);

}  // namespace velko::dataset_replay
