// The literal form of values as messages show them, and the number forms of the console.
#pragma once

#include <string>
#include <string_view>

#include <boost/json/fwd.hpp>
#include <boost/json/string.hpp>
#include <boost/json/string_view.hpp>

namespace velko {

// A text between single quotes (double quotes when it holds a single quote and no double
// quote), with backslash escapes for the backslash, the quote used and unprintable characters.
std::string quoted(std::string_view text);
// The same for a std::string; preferred over std::quoted, which argument-dependent lookup
// would otherwise find for std::string arguments.
inline std::string quoted(const std::string& text) { return quoted(std::string_view(text)); }
inline std::string quoted(std::string& text) { return quoted(std::string_view(text)); }
inline std::string quoted(const char* text) { return quoted(std::string_view(text)); }
inline std::string quoted(boost::json::string_view text) {
  return quoted(std::string_view(text.data(), text.size()));
}
inline std::string quoted(const boost::json::string& text) {
  return quoted(std::string_view(text.data(), text.size()));
}

// A JSON-like value in literal form: None, True, False, numbers in shortest form, quoted
// texts, lists as [a, b] and maps as {'k': v}.
std::string literal(const boost::json::value& value);

// A value as text: a text unchanged, anything else in its literal form.
std::string as_text(const boost::json::value& value);

// The shortest decimal text that reads back to the same double, with at least one decimal
// in fixed notation (90.0, 87.53333333333333), exponent form outside 1e-4 .. 1e16 (1e+16),
// and inf, -inf, nan.
std::string float_repr(double value);

// A JSON number in its shortest form: integers without decimals, doubles as float_repr.
std::string number_text(const boost::json::value& number);

// Fixed-point with exactly one decimal, the nearest to the stored value, exact ties to even.
std::string fixed_one_decimal(double value);

}  // namespace velko
