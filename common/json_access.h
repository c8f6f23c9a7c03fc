// Reading members of JSON-like maps that come from outside, with errors that say which map
// and which member.
#pragma once

#include <string>
#include <string_view>

#include <boost/json/value.hpp>

namespace velko::json_access {

// The map itself; BadAnswer when `value` is not a map. `what` names it ("the platform's claim").
const boost::json::object& as_map(const boost::json::value& value, std::string_view what);

// The member `key`; KeyError naming the key and the map when it is missing.
const boost::json::value& at(const boost::json::value& map, std::string_view key,
                             std::string_view what);

// The member `key`, or nullptr when it is missing.
const boost::json::value* find(const boost::json::value& map, std::string_view key,
                               std::string_view what);

// True for a missing member or a null.
bool is_none(const boost::json::value* value);

// The JSON type of a value, as messages name it ("a text", "a number", "a list", ...).
std::string kind_name(const boost::json::value& value);

// BadAnswer: "<what> has \"<key>\" of the wrong type (expected <expected>, got <literal>)".
[[noreturn]] void wrong_type(std::string_view what, std::string_view key, std::string_view expected,
                             const boost::json::value& got);

}  // namespace velko::json_access
