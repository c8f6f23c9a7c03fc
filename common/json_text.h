// JSON text: the one writer of the system, and a bounded parser with readable errors.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

// What a first reading of a JSON text finds without building its value.
struct TextShape {
  // Parts of a top-level list whose scalars are counted.
  static constexpr std::size_t kCountedParts = 8;
  // The number of elements or members of every list and map, in the order they begin.
  std::vector<std::size_t> sizes;
  // For a text that is a list: the scalars (numbers, texts, booleans, nulls) that each of its
  // first kCountedParts elements holds, nested ones included; one entry per element.
  std::vector<std::size_t> part_values;
};

// Parses as parse() does, the same value and the same errors, in two readings: the first
// learns the size of every list and map, and the second builds each in place at its size.
// The value's memory is then what it holds; parse() builds it on a stack that grows by
// doubling and copies each list out of it, up to three times that at its peak. It costs a
// second reading: for large texts. `check` is given the shape between the readings, and may
// throw to refuse a text before its value is built.
boost::json::value parse_sized(std::string_view text,
                               const std::function<void(const TextShape&)>& check = {},
                               std::size_t max_depth = kMaxDepth);

}  // namespace velko::json_text
