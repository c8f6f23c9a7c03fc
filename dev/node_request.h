// What the compute node's request handlers share: the refusal of a request, and reading a
// request body that must be a JSON object.
#pragma once

#include "dev/http_service.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>

namespace velko::dev {

// A request that the node refuses: its status and the detail for the user.
using NodeRefusal = HttpRefusal;

// Deepest nesting that a request body may have; the node's requests need four levels.
inline constexpr std::size_t kMaxRequestDepth = 16;

// Parses a request body that must be one JSON object. Throws NodeRefusal 422 otherwise.
boost::json::object request_object(std::string_view body);

// A text from a request as messages show it: quoted, and cut after 80 characters.
std::string shown(std::string_view text);

// Refuses a request with status 422 because a member is missing or of the wrong type;
// `expected` says what it must be ("a text", "a list of integers").
[[noreturn]] void wrong_member(std::string_view where, std::string_view expected,
                               const boost::json::value* got);

}  // namespace velko::dev
