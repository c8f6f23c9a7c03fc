#include "main/dataset_replay/slots.h"

#include <charconv>
#include <cmath>
#include <exception>
#include <memory>

#include "common/errors.h"
#include "common/json_access.h"
#include "common/literal.h"
#include "common/slot_path_grammar.h"
#include "common/unicode.h"
#include "main/dataset_replay/core_library.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {

namespace {

// One key of a slot path as the walk sees it.
using KeyView = slot_path::Key;

[[noreturn]] void not_a_literal(std::string_view content) {
  throw std::invalid_argument("the slot key [" + std::string(content) +
                              "] is not an integer or a quoted text");
}

// Reads the content of one key group as a literal: an optionally signed integer or a quoted
// text. Escaped texts are decoded into `scratch`.
KeyView parse_key(std::string_view content, std::string& scratch) {
  KeyView key;
  switch (slot_path::read_key(content, key, scratch)) {
    case slot_path::KeyFault::kNone:
      return key;
    case slot_path::KeyFault::kOutOfRange:
      throw std::invalid_argument("the slot key [" + std::string(content) + "] is out of range");
    case slot_path::KeyFault::kLoneSurrogate:
      throw std::invalid_argument("the slot key [" + std::string(content) + "] " +
                                  slot_path::fault_text(slot_path::KeyFault::kLoneSurrogate));
    default:
      not_a_literal(content);
  }
}

// Calls on_group(content) for each key group of the path from left to right, as the search
// finds them. Returns whether the groups alone make up the path trimmed of white space.
template <class OnGroup>
bool scan_groups(std::string_view name, OnGroup&& on_group) {
  slot_path::Scanner scanner(name);
  slot_path::Part part;
  bool exact = true;
  while (scanner.next(part)) {
    if (part.kind == slot_path::Part::Kind::kGroup) {
      on_group(part.text);
    } else {
      exact = false;
    }
  }
  return exact;
}

// Checks the whole path and returns the number of its keys. Throws as parse_slot_path does.
std::size_t check_path(std::string_view name) {
  std::string scratch;
  std::size_t count = 0;
  bool exact = scan_groups(name, [&](std::string_view content) {
    parse_key(content, scratch);
    ++count;
  });
  if (!exact) {
    throw PublishReportError("Can't address the sim's slot '" + std::string(name) + "'");
  }
  return count;
}

// The element of `node` at `key`.
boost::json::value& element(boost::json::value& node, const KeyView& key) {
  if (key.is_text) {
    if (auto* object = node.if_object()) {
      if (auto* found = object->if_contains(key.text)) return *found;
      throw KeyError(std::string(key.text));
    }
    throw TypeError("the slot key " + quoted(key.text) +
                    " names a map entry, but the value "
                    "there is " +
                    json_access::kind_name(node));
  }
  if (auto* array = node.if_array()) {
    auto size = static_cast<std::int64_t>(array->size());
    std::int64_t position = key.index < 0 ? key.index + size : key.index;
    if (position < 0 || position >= size) {
      throw std::out_of_range("the list position " + std::to_string(key.index) +
                              " is out of range for a list of " + std::to_string(size) +
                              " elements");
    }
    return (*array)[static_cast<std::size_t>(position)];
  }
  if (node.is_object()) throw KeyError(std::to_string(key.index));
  throw TypeError("the slot key " + std::to_string(key.index) +
                  " is a list position, but the value there is " + json_access::kind_name(node));
}

// A finite number read from a sensor's value, if it has one.
std::optional<double> as_number(const boost::json::value& value) {
  switch (value.kind()) {
    case boost::json::kind::int64:
      return static_cast<double>(value.get_int64());
    case boost::json::kind::uint64:
      return static_cast<double>(value.get_uint64());
    case boost::json::kind::double_:
      return value.get_double();
    case boost::json::kind::bool_:
      return value.get_bool() ? 1.0 : 0.0;
    case boost::json::kind::string: {
      std::string text = unicode::trim(value.get_string());
      std::string_view digits = text;
      if (digits.size() > 1 && digits.front() == '+' && digits[1] != '-' && digits[1] != '+') {
        digits.remove_prefix(1);
      }
      double number = 0;
      auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
      if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
      }
      return number;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

std::vector<SlotKey> parse_slot_path(std::string_view name) {
  check_path(name);
  std::vector<SlotKey> keys;
  std::string scratch;
  scan_groups(name, [&](std::string_view content) {
    keys.push_back(slot_path::kept_key(parse_key(content, scratch)));
  });
  return keys;
}

boost::json::value cast(const boost::json::value& old, double new_value) {
  if (old.is_int64() || old.is_uint64()) {
    if (!std::isfinite(new_value)) {
      throw std::domain_error("can't store " + float_repr(new_value) + " in an integer slot");
    }
    double rounded = std::nearbyint(new_value);
    if (rounded < -9223372036854775808.0 || rounded >= 9223372036854775808.0) {
      throw std::domain_error("can't store " + float_repr(new_value) +
                              " in an integer slot: it is beyond the integer range");
    }
    return boost::json::value(static_cast<std::int64_t>(rounded));
  }
  return boost::json::value(new_value);
}

namespace {

// Stores `new_value` at `target`, cast to the kind of number it held.
void store(boost::json::value& target, double new_value) {
  boost::json::value stored = cast(target, new_value);
  if (stored.is_int64()) {
    target.emplace_int64() = stored.get_int64();
  } else {
    target.emplace_double() = stored.get_double();
  }
}

}  // namespace

void write_slot(boost::json::value& value, std::string_view name, double new_value) {
  std::size_t count = check_path(name);
  if (count == 0) {
    value = cast(value, new_value);
    return;
  }
  boost::json::value* node = &value;
  boost::json::value* target = nullptr;
  std::string scratch;
  std::size_t seen = 0;
  scan_groups(name, [&](std::string_view content) {
    KeyView key = parse_key(content, scratch);
    if (++seen < count) {
      node = &element(*node, key);
    } else {
      target = &element(*node, key);
    }
  });
  store(*target, new_value);
}

SlotWriter::SlotWriter(std::string_view name) {
  try {
    check_path(name);
    std::string scratch;
    scan_groups(name, [&](std::string_view content) {
      keys_.push_back(slot_path::kept_key(parse_key(content, scratch)));
    });
  } catch (const std::exception&) {
    unreadable_ = std::current_exception();
  }
}

void SlotWriter::write(boost::json::value& value, double new_value) const {
  if (unreadable_) std::rethrow_exception(unreadable_);
  if (keys_.empty()) {
    value = cast(value, new_value);
    return;
  }
  boost::json::value* node = &value;
  for (const SlotKey& key : keys_) {
    node = &element(*node, KeyView{key.is_text, key.index, key.text});
  }
  store(*node, new_value);
}

boost::json::value set_slot(boost::json::value& value, std::string_view name, double new_value) {
  if (check_path(name) == 0) return cast(value, new_value);
  write_slot(value, name, new_value);
  return value;
}

SlotReader::SlotReader(CoreLibrary& core, std::string_view name) {
  static constexpr std::string_view kMappingPrefix = "lambda sensors: sensors";
  try {
    std::string mapping(kMappingPrefix);
    mapping.append(name);
    sensor_ = core.make_sensor(std::string(name), mapping);
  } catch (const std::exception&) {
    sensor_.reset();
  }
}

SlotReader::~SlotReader() = default;
SlotReader::SlotReader(SlotReader&&) noexcept = default;
SlotReader& SlotReader::operator=(SlotReader&&) noexcept = default;

std::optional<double> SlotReader::read(const boost::json::value& observation) const {
  if (!sensor_) return std::nullopt;
  try {
    boost::json::value sensed = sensor_->sense(observation);
    const boost::json::value* result = &sensed;
    if (const auto* list = sensed.if_array(); list && list->size() == 1) result = &(*list)[0];
    std::optional<double> number = as_number(*result);
    if (!number || !std::isfinite(*number)) return std::nullopt;
    return number;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<double> read_slot(CoreLibrary& core, const boost::json::value& observation,
                                std::string_view name) {
  return SlotReader(core, name).read(observation);
}

}  // namespace velko::dataset_replay
