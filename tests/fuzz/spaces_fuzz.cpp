// Space descriptions: any JSON either is refused with SpaceError or becomes a space whose
// mappings name one slot per variable, each of which addresses a number in the space's samples
// and one variable of the space, and whose samples are values of the space that can be written
// as JSON. Whatever the value, the space check finds a problem exactly when it is not one of
// the space.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <boost/json/value.hpp>

#include "common/json_text.h"
#include "spaces/slot_path.h"
#include "spaces/space_check.h"
#include "spaces/spaces.h"
#include "tests/fuzz/fuzz_support.h"

namespace spaces = velko::spaces;
using velko::fuzz::check;

namespace {

// Spaces larger than this are only parsed and mapped: sampling them would take too long for
// one input.
constexpr std::size_t kMostSampledVariables = 4096;

// The value at a slot path, or null when the path leads nowhere.
const boost::json::value* at_path(const boost::json::value& value, const spaces::SlotKeys& keys) {
  const boost::json::value* node = &value;
  for (const spaces::SlotKey& key : keys) {
    if (key.is_text) {
      const auto* object = node->if_object();
      if (!object) return nullptr;
      node = object->if_contains(key.text);
    } else {
      const auto* array = node->if_array();
      if (!array) return nullptr;
      auto count = static_cast<std::int64_t>(array->size());
      std::int64_t position = key.index < 0 ? key.index + count : key.index;
      if (position < 0 || position >= count) return nullptr;
      node = &(*array)[static_cast<std::size_t>(position)];
    }
    if (!node) return nullptr;
  }
  return node;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  boost::json::value description;
  try {
    description = velko::json_text::parse(text);
  } catch (const velko::json_text::JsonError&) {
    return 0;
  }
  spaces::Space space;
  try {
    space = spaces::parse_space(description);
  } catch (const spaces::SpaceError&) {
    return 0;
  }
  boost::json::array mappings;
  try {
    mappings = spaces::convert_space_to_json(space);
  } catch (const spaces::SpaceError&) {
    return 0;  // more slot path text than a space may have
  }
  check(mappings.size() == space.variables, "not one mapping per variable");
  // The description itself stands for any value a sim could send.
  check(
      spaces::value_problem(space, description).has_value() != spaces::contains(space, description),
      "the space check and the space disagree on a value");
  if (space.variables > kMostSampledVariables) return 0;

  spaces::ComputeSpace sampler(space, size);
  for (int round = 0; round < 3; ++round) {
    boost::json::value sample = sampler.sample();
    check(spaces::contains(space, sample), "a sample is not a value of its space");
    check(!spaces::value_problem(space, sample), "the space check finds a problem in a sample");
    std::string written = velko::json_text::to_json(sample);
    check(spaces::contains(space, velko::json_text::parse(written)),
          "a sample written as JSON is no longer a value of its space");
    for (const boost::json::value& mapping : mappings) {
      const boost::json::value& name = mapping.as_object().at("name");
      check(name.is_string(), "a mapping without a slot path");
      spaces::SlotKeys keys;
      try {
        keys = spaces::parse_slot_path(name.get_string());
      } catch (const spaces::SlotPathError& error) {
        velko::fuzz::fail(std::string("a mapping's slot path does not read: ") + error.what());
      }
      check(!spaces::slot_problem(space, keys), "a mapping's slot path leads to no variable");
      const boost::json::value* element = at_path(sample, keys);
      check(element && element->is_number(), "a mapping's slot holds no number in a sample");
    }
  }
  return 0;
}
