// One call of the sim under the run's time limit: no call to a sim is ever unbounded.
#pragma once

#include <string>
#include <utility>

#include "common/async.h"
#include "common/literal.h"

namespace velko::dataset_replay {

// What a TimeoutError says of a sim call NAME that did not answer within `seconds`.
inline std::string sim_timeout_message(const char* name, double seconds) {
  return std::string("the sim's ") + name + " did not answer within " + float_repr(seconds) + " s";
}

// Awaits `call` for at most `seconds`. When the time runs out the call is cancelled and
// TimeoutError says "the sim's NAME did not answer within S s"; other errors pass unchanged.
template <class T>
awaitable<T> sim_call(awaitable<T> call, const char* name, double seconds) {
  return with_timeout(std::move(call), seconds, sim_timeout_message(name, seconds));
}

}  // namespace velko::dataset_replay
