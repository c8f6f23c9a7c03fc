// The JSON text round trip: whatever parses is written, and what is written parses to the same
// value (numbers exactly) and is written again as the same text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <boost/json/value.hpp>

#include "common/json_text.h"
#include "tests/fuzz/fuzz_support.h"

using velko::fuzz::check;
using velko::fuzz::same;
namespace json_text = velko::json_text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  boost::json::value value;
  try {
    value = json_text::parse(text);
  } catch (const json_text::JsonError&) {
    return 0;
  }
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
