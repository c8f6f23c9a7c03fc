// The compute-node analysis of a report run: replay the dataset through the sim started here
// and have the node analyze the predictions.
#pragma once

#include <functional>
#include <string>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/async.h"
#include "main/dataset_replay/dataset_module.h"

namespace velko::dataset_replay {

// Yields the node's analysis of the sim against the dataset.
awaitable<boost::json::value> analyze(std::string path, boost::json::value claim,
                                      LocalDataset dataset, std::string bundle_sha256,
                                      int max_episodes, boost::json::object env_init,
                                      double call_timeout_s);

// The analysis that publish_report awaits: `analyze` unless a test stands in for it.
using AnalyzeFn = std::function<awaitable<boost::json::value>(
    std::string, boost::json::value, LocalDataset, std::string, int, boost::json::object,
    double)>;
void set_analyze_for_testing(AnalyzeFn fn);
AnalyzeFn& analyze_fn();

}  // namespace velko::dataset_replay
