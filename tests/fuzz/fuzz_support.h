// What the fuzz targets share: stopping with a message when a property does not hold, and
// comparing JSON-like values exactly.
#pragma once

#include <string_view>

#include <boost/json/value.hpp>

namespace velko::fuzz {

// Prints what went wrong and aborts, which libFuzzer reports with the input that did it.
[[noreturn]] void fail(std::string_view what);

// Stops with `what` unless `condition` holds.
inline void check(bool condition, std::string_view what) {
  if (!condition) fail(what);
}

// True when two values are of the same kind and hold the same thing; doubles must have the
// same bits (0.0 and -0.0 differ) and members the same order.
bool same(const boost::json::value& a, const boost::json::value& b);

}  // namespace velko::fuzz
