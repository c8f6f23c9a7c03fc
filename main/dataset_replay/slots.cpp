#include "main/dataset_replay/slots.h"

#include <charconv>
#include <cmath>
#include <exception>
#include <memory>

#include "common/errors.h"
#include "common/json_access.h"
#include "common/literal.h"
#include "common/unicode.h"
#include "main/dataset_replay/core_library.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {

namespace {

// One key of a slot path as the walk sees it. `text` points into the path or into the
// caller's scratch text.
struct KeyView {
  bool is_text = false;
  std::int64_t index = 0;
  std::string_view text;
};

bool is_ascii_space(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

// True when the text is nothing but Unicode white space.
bool all_space(std::string_view text) {
  bool ascii = true;
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) >= 0x80) {
      ascii = false;
    } else if (!is_ascii_space(ch)) {
      return false;
    }
  }
  if (ascii) return true;
  for (char32_t c : unicode::decode(text)) {
    if (!unicode::is_space(c)) return false;
  }
  return true;
}

[[noreturn]] void not_a_literal(std::string_view content) {
  throw std::invalid_argument("the slot key [" + std::string(content) +
                              "] is not an integer or a quoted text");
}

int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Decodes the body of a quoted text (between its quotes) with its backslash escapes into
// `out`. Unknown escapes keep their backslash. Returns false for a malformed escape.
bool unescape(std::string_view body, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < body.size(); ++i) {
    char ch = body[i];
    if (ch != '\\') {
      out.push_back(ch);
      continue;
    }
    if (++i == body.size()) return false;
    char e = body[i];
    switch (e) {
      case '\n': break;
      case '\\': out.push_back('\\'); break;
      case '\'': out.push_back('\''); break;
      case '"': out.push_back('"'); break;
      case 'a': out.push_back('\a'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'v': out.push_back('\v'); break;
      case 'x':
      case 'u':
      case 'U': {
        std::size_t digits = e == 'x' ? 2 : e == 'u' ? 4 : 8;
        if (body.size() - i - 1 < digits) return false;
        char32_t c = 0;
        for (std::size_t k = 1; k <= digits; ++k) {
          int v = hex_value(body[i + k]);
          if (v < 0) return false;
          c = c * 16 + static_cast<char32_t>(v);
        }
        if (c > 0x10FFFF) return false;
        unicode::append_utf8(out, c);
        i += digits;
        break;
      }
      default:
        if (e >= '0' && e <= '7') {
          char32_t c = 0;
          std::size_t k = 0;
          while (k < 3 && i + k < body.size() && body[i + k] >= '0' && body[i + k] <= '7') {
            c = c * 8 + static_cast<char32_t>(body[i + k] - '0');
            ++k;
          }
          unicode::append_utf8(out, c);
          i += k - 1;
        } else {
          out.push_back('\\');
          out.push_back(e);
        }
    }
  }
  return true;
}

// Reads the content of one key group as a literal: an optionally signed integer or a quoted
// text. Escaped texts are decoded into `scratch`.
KeyView parse_key(std::string_view content, std::string& scratch) {
  std::string_view literal = content;
  while (!literal.empty() && (literal.front() == ' ' || literal.front() == '\t')) {
    literal.remove_prefix(1);
  }
  while (!literal.empty() && (literal.back() == ' ' || literal.back() == '\t')) {
    literal.remove_suffix(1);
  }
  if (literal.empty()) not_a_literal(content);

  KeyView key;
  char quote = literal.front();
  if (quote == '\'' || quote == '"') {
    // The closing quote is the first unescaped one; it must end the literal.
    std::size_t i = 1;
    bool escaped = false;
    for (; i < literal.size(); ++i) {
      if (escaped) {
        escaped = false;
      } else if (literal[i] == '\\') {
        escaped = true;
      } else if (literal[i] == quote || literal[i] == '\n') {
        break;
      }
    }
    if (i != literal.size() - 1 || literal[i] != quote) not_a_literal(content);
    std::string_view body = literal.substr(1, literal.size() - 2);
    key.is_text = true;
    if (body.find('\\') == std::string_view::npos) {
      key.text = body;
    } else {
      if (!unescape(body, scratch)) not_a_literal(content);
      key.text = scratch;
    }
    return key;
  }

  std::string_view digits = literal;
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) not_a_literal(content);
  for (char ch : digits) {
    if (ch < '0' || ch > '9') not_a_literal(content);
  }
  // Leading zeros are only allowed in zero itself.
  if (digits.size() > 1 && digits.front() == '0' &&
      digits.find_first_not_of('0') != std::string_view::npos) {
    not_a_literal(content);
  }
  std::uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
  if (error != std::errc() || end != digits.data() + digits.size() ||
      magnitude > (negative ? kLimit : kLimit - 1)) {
    throw std::invalid_argument("the slot key [" + std::string(content) + "] is out of range");
  }
  key.index = negative ? static_cast<std::int64_t>(0 - magnitude)
                       : static_cast<std::int64_t>(magnitude);
  return key;
}

// Calls on_group(content) for each key group of the path from left to right, as the search
// finds them. Returns whether the groups alone make up the path trimmed of white space.
template <class OnGroup>
bool scan_groups(std::string_view name, OnGroup&& on_group) {
  std::size_t pos = 0;
  std::size_t previous_end = std::string_view::npos;
  bool exact = true;
  while (true) {
    std::size_t open = name.find('[', pos);
    if (open == std::string_view::npos) break;
    std::size_t close = name.find_first_of("[]", open + 1);
    if (close == std::string_view::npos) break;
    if (name[close] == '[') {
      pos = close;
      continue;
    }
    // Only white space may precede the first group, and nothing may stand between two.
    if (previous_end == std::string_view::npos) {
      if (!all_space(name.substr(0, open))) exact = false;
    } else if (open != previous_end) {
      exact = false;
    }
    on_group(name.substr(open + 1, close - open - 1));
    previous_end = close + 1;
    pos = close + 1;
  }
  if (previous_end == std::string_view::npos) return all_space(name);
  return exact && all_space(name.substr(previous_end));
}

// Checks the whole path and returns the number of its keys. Throws as _path does.
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
    throw TypeError("the slot key " + quoted(key.text) + " names a map entry, but the value "
                    "there is " + json_access::kind_name(node));
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
    case boost::json::kind::int64: return static_cast<double>(value.get_int64());
    case boost::json::kind::uint64: return static_cast<double>(value.get_uint64());
    case boost::json::kind::double_: return value.get_double();
    case boost::json::kind::bool_: return value.get_bool() ? 1.0 : 0.0;
    case boost::json::kind::string: {
      std::string text = unicode::trim(value.get_string());
      std::string_view digits = text;
      if (digits.size() > 1 && digits.front() == '+' && digits[1] != '-' && digits[1] != '+') {
        digits.remove_prefix(1);
      }
      double number = 0;
      auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), number);
      if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
      }
      return number;
    }
    default: return std::nullopt;
  }
}

}  // namespace

std::vector<SlotKey> _path(std::string_view name) {
  check_path(name);
  std::vector<SlotKey> keys;
  std::string scratch;
  scan_groups(name, [&](std::string_view content) {
    KeyView key = parse_key(content, scratch);
    if (key.is_text) {
      keys.emplace_back(std::string(key.text));
    } else {
      keys.emplace_back(key.index);
    }
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
  boost::json::value stored = cast(*target, new_value);
  if (stored.is_int64()) {
    target->emplace_int64() = stored.get_int64();
  } else {
    target->emplace_double() = stored.get_double();
  }
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
