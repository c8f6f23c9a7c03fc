// The compute node's "sim-analyze-rollouts" request: a sim's predictions, made by replaying
// recorded episodes, analysed against the recorded sensor values that never leave the node.
#pragma once

#include <string_view>

#include <boost/json/value.hpp>

#include "dev/node_catalog.h"

namespace velko::dev {

// Largest "max_lag_steps" that a request may ask for.
inline constexpr int kMaxLagSteps = 1000;

// Answers a request body with the analysis: {"summary", "simulator_validation" (the
// artifact, or null when nothing could be scored), "dataset" (the CSV file's digests),
// "warnings"}. Throws NodeRefusal: 422 for a malformed body or an unknown or repeated episode,
// 404 for an unknown dataset, 409 for predictions that do not match the dataset.
boost::json::value analyze_rollouts(const DatasetCatalog& catalog, std::string_view body);

}  // namespace velko::dev
