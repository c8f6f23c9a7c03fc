// Helpers of the tests that read the compute node's "analysis-actions" answer.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include <boost/json/value.hpp>

#include "main/dataset_replay/recorded_actions.h"

namespace velko::testing {

// The answer written as JSON text and read back as the client reads it.
dataset_replay::RecordedActions recorded(const boost::json::value& answer,
                                         std::size_t asked = 1000);

// An answer whose only episode is `entry`, with empty column lists.
boost::json::value answer_of(boost::json::value entry);

// The fault that `read` raises as the node's: "<cause type>: <cause text>" of the
// NodeAnswerError, after checking that its message wraps its cause; "(no fault)" when it
// raises nothing.
std::string node_fault(const std::function<void()>& read);

}  // namespace velko::testing
