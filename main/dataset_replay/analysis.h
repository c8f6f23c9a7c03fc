// The compute-node analysis of a report run: replay the dataset through the sim started here
// and have the node analyze the predictions.
//
// Errors: PublishReportError for what the user can act on (a sim that did not start, one that
// failed while replaying, with its cause nested; a plan that does not match; a refusal of the
// node; NodeAnswerError for a malformed answer of the node); transport and status errors of the
// node's requests as they are; Interrupted. The sim process is stopped on every way out.
#pragma once

#include <cstdint>
#include <string>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/async.h"
#include "main/dataset_replay/dataset_module.h"
#include "main/dataset_replay/report_run.h"

namespace velko::dataset_replay {

struct ReportRun;

// Yields the node's analysis of the sim at `path` against the dataset, replayed as `options`
// say. With several processes of the sim, each is started, checked and set up as one is, each
// episode is replayed wholly in one of them, and the predictions go to the node in the plan's
// episode order, as one process would have made them for a sim that honours its seeds. A
// failure in one process stops the others; every process is stopped on every way out.
awaitable<boost::json::value> analyze(const ReportRun& run, std::string path,
                                      boost::json::value claim, LocalDataset dataset,
                                      std::string bundle_sha256, ReplayOptions options);

}  // namespace velko::dataset_replay
