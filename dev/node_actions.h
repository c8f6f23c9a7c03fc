// The compute node's "analysis-actions" request: the recorded actions of chosen episodes,
// with the dataset's column lists. Sensor values are never part of it.
#pragma once

#include <string>
#include <string_view>

#include "dev/node_catalog.h"

namespace velko::dev {

// Answers a request body {"dataset_uuid", "episodes": [zero-based indexes]} with the JSON
// text of the answer, episodes in the requested order. Throws NodeRefusal: 422 for a
// malformed body or an unknown or repeated episode index, 404 for an unknown dataset.
std::string analysis_actions(const DatasetCatalog& catalog, std::string_view body);

}  // namespace velko::dev
