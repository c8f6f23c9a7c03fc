// Checking values and slot paths against a space, with messages that say where and why they
// do not fit: what `velko sim validate` tells a sim author.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <boost/json/value.hpp>

#include "spaces/slot_path.h"
#include "spaces/spaces.h"

namespace velko::spaces {

// Why `value` is not a value of the space: the slot path of the first part that does not fit
// and what is wrong there ("at ['tank'][0]: 120.5 is above the upper bound 100.0"); none when
// it is one. None exactly when contains(space, value).
std::optional<std::string> value_problem(const Space& space, const boost::json::value& value);
// As value_problem, but a null where a number belongs (a reading without a value) is no
// problem: its slot path is added to `nulls` instead (" " for a space that is one number).
std::optional<std::string> value_problem(const Space& space, const boost::json::value& value,
                                         std::vector<std::string>& nulls);

// Why the slot path `keys` does not lead to one variable of the space (a number that a replay
// can read or write): a key that the space there has not, a position out of range, or a path
// that stops at a dict, tuple or list of several numbers. None when it leads to one.
std::optional<std::string> slot_problem(const Space& space, const SlotKeys& keys);

}  // namespace velko::spaces
