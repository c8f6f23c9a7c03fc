// The JSON text round trip: whatever parses is written, and what is written parses to the same
// value (numbers exactly) and is written again as the same text. The two-pass reader
// (parse_sized) gives what parse gives, and refuses what it refuses.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include "common/json_text.h"
#include "tests/fuzz/fuzz_support.h"

using velko::fuzz::check;
using velko::fuzz::same;
namespace json_text = velko::json_text;

namespace {

// True when two values are the same but for doubles that differ in their last digits.
bool close(const boost::json::value& a, const boost::json::value& b) {
  if (a.is_double() && b.is_double()) {
    double x = a.get_double();
    double y = b.get_double();
    return !std::isfinite(y) || std::fabs(x - y) < 1e-300 ||
           std::fabs(x - y) <= 1e-14 * std::max(std::fabs(x), std::fabs(y));
  }
  if (a.kind() != b.kind()) return false;
  if (a.is_array()) {
    const auto& x = a.get_array();
    const auto& y = b.get_array();
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!close(x[i], y[i])) return false;
    }
    return true;
  }
  if (a.is_object()) {
    const auto& x = a.get_object();
    const auto& y = b.get_object();
    if (x.size() != y.size()) return false;
    auto j = y.begin();
    for (const auto& member : x) {
      if (member.key() != j->key() || !close(member.value(), j->value())) return false;
      ++j;
    }
    return true;
  }
  return same(a, b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  boost::json::value value;
  std::string refusal;
  try {
    value = json_text::parse(text);
  } catch (const json_text::JsonError& error) {
    refusal = error.what();
  }
  try {
    boost::json::value sized = json_text::parse_sized(text);
    check(refusal.empty(), "parse_sized reads a text that parse refuses");
    check(same(value, sized), "parse_sized reads a text as another value");
  } catch (const json_text::JsonError& error) {
    check(refusal == error.what(), "parse_sized refuses a text otherwise than parse");
  }
  if (!refusal.empty()) return 0;
  // Boost.JSON's own reader takes the same text to the same value, save that it rounds some
  // doubles a few steps off the nearest one (which this reader gives) and reads some zeros with
  // a large exponent (0e30000) as infinity.
  boost::json::error_code ec;
  boost::json::parse_options options;
  options.max_depth = json_text::kMaxDepth;
  boost::json::value theirs = boost::json::parse(text, ec, {}, options);
  check(!ec, "Boost.JSON refuses a text that parses");
  check(close(value, theirs), "Boost.JSON reads a text as another value");
  for (bool ascii_only : {false, true}) {
    std::string written = json_text::to_json(value, ascii_only);
    boost::json::value again;
    try {
      again = json_text::parse(written);
    } catch (const json_text::JsonError& error) {
      velko::fuzz::fail(std::string("the written text does not parse: ") + error.what());
    }
    check(same(value, again), "the written text parses to another value");
    check(json_text::to_json(again, ascii_only) == written, "the text changes when written again");
    if (ascii_only) {
      for (unsigned char ch : written) check(ch >= 0x20 && ch < 0x7F, "not printable ASCII");
    }
  }
  return 0;
}
