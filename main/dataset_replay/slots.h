// Slot paths into a sim's observations and actions: [0], ['a'][1].
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/json/value.hpp>

namespace velko::dataset_replay {

// A key of a slot path: a list position or a map entry.
using SlotKey = std::variant<std::int64_t, std::string>;

// Parses a slot path into its keys. Throws PublishReportError "Can't address the sim's slot
// '<name>'" for a text that is not a slot path.
std::vector<SlotKey> _path(std::string_view name);

// Writes `new_value` at the slot, cast to the kind of number the slot held: an integer slot
// takes the value rounded half to even. Returns `value` (changed in place), or for the empty
// path the cast number that replaces the whole value.
boost::json::value set_slot(boost::json::value& value, std::string_view name, double new_value);

// The number stored in place of `old`.
boost::json::value cast(const boost::json::value& old, double new_value);

// Reads the sensor value at the slot as a finite number; no value when it cannot be read.
std::optional<double> read_slot(const boost::json::value& observation, std::string_view name);

}  // namespace velko::dataset_replay
