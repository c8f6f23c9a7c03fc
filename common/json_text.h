// JSON text: the one writer of the system, and a bounded parser with readable errors.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/json/fwd.hpp>

namespace velko::json_text {

// Deepest nesting of arrays and objects that the parser accepts.
inline constexpr std::size_t kMaxDepth = 256;

// A JSON text that cannot be parsed; the message says what is wrong and where.
class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Appends a value as compact JSON. Object members keep their order; doubles are written in
// their shortest round-trip form with ".0" when integral. With `ascii_only`, every character
// outside printable ASCII becomes a lower-case \u escape (surrogate pairs beyond U+FFFF).
// A non-finite number cannot be written and throws std::domain_error.
void write(std::string& out, const boost::json::value& value, bool ascii_only = false);
std::string to_json(const boost::json::value& value, bool ascii_only = false);

// Appends a quoted JSON string with the short escapes.
void write_string(std::string& out, std::string_view text, bool ascii_only = false);

// Appends a double as write() does.
void write_double(std::string& out, double value);

// Parses exactly one JSON document. Integers are int64 (uint64 above that, beyond 64 bits the
// nearest double); other numbers are the double nearest to their text, so that what write()
// wrote reads back unchanged. Throws JsonError naming line and column, also for nesting
// deeper than `max_depth`, ill-formed UTF-8 and a number beyond the range of a double.
boost::json::value parse(std::string_view text, std::size_t max_depth = kMaxDepth);

}  // namespace velko::json_text
