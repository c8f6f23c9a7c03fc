// The checks of what a request to the stand-in platform carries: its bounds, JSON bodies,
// texts, guidance item fields and submitted analyses. Each check throws HttpRefusal (400 or
// 422) with a detail that names the member at fault.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace velko::dev {

// Bounds of what the platform takes from a request.
inline constexpr std::size_t kMaxNameChars = 200;
inline constexpr std::size_t kMaxIdBytes = 200;
inline constexpr std::size_t kMaxFilenameBytes = 255;
inline constexpr std::size_t kMaxDataUrlBytes = 2048;
inline constexpr std::size_t kMaxWarnings = 50;
inline constexpr std::size_t kMaxReasonChars = 500;  // a warning or a failure reason

// The length of a UTF-8 text in characters, which is what the platform's bounds count.
std::size_t char_count(std::string_view text);

// Parses a request body that must be a JSON object.
boost::json::object parse_object(const std::string& body);

// A member that must be a non-blank text of at most `max_chars` characters.
std::string required_text(const boost::json::object& body, const char* key, std::size_t max_chars);

// True for a SHA-256 digest written in hexadecimal.
bool is_sha256_hex(std::string_view text);

// A guidance item's type (goal, constraint, successCriteria or reward); `where` names the
// value in the refusal.
std::string checked_type(const boost::json::value* value, const char* where);

// A guidance item's conditions: null (also when absent), an object or a list.
boost::json::value checked_conditions(const boost::json::object& body);

// A guidance item's data URL: null (also when absent) or a text.
boost::json::value checked_data_url(const boost::json::object& body);

// Checks the body that submits an analysis: the artifact, the dataset's hashes and the
// warnings.
void check_analysis(const boost::json::object& body);

}  // namespace velko::dev
