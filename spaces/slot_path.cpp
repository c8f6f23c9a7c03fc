#include "spaces/slot_path.h"

#include <charconv>

#include "common/slot_path_grammar.h"

namespace velko::spaces {

SlotKeys parse_slot_path(std::string_view path) {
  SlotKeys keys;
  slot_path::Scanner scanner(path);
  slot_path::Part part;
  std::string scratch;
  while (scanner.next(part)) {
    switch (part.kind) {
      case slot_path::Part::Kind::kStray:
        throw SlotPathError("'" + std::string(part.text) +
                            "' stands where a key group \"[...]\" must begin");
      case slot_path::Part::Kind::kUnclosed:
        throw SlotPathError("a key group \"[\" is not closed by \"]\"");
      case slot_path::Part::Kind::kGroup:
        break;
    }
    slot_path::Key key;
    slot_path::KeyFault fault = slot_path::read_key(part.text, key, scratch);
    if (fault != slot_path::KeyFault::kNone) {
      throw SlotPathError("the key [" + std::string(part.text) + "] " +
                          slot_path::fault_text(fault));
    }
    keys.push_back(slot_path::kept_key(key));
  }
  return keys;
}

void append_slot_key(std::string& out, std::string_view key) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.append("['");
  for (char ch : key) {
    auto byte = static_cast<unsigned char>(ch);
    if (ch == '\\' || ch == '\'') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (byte < 0x20 || byte == 0x7f || ch == '[' || ch == ']') {
      out.append("\\x");
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xf]);
    } else {
      out.push_back(ch);
    }
  }
  out.append("']");
}

void append_slot_index(std::string& out, std::int64_t index) {
  char digits[24];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, index);
  (void)error;  // 24 characters hold every int64
  out.push_back('[');
  out.append(digits, end);
  out.push_back(']');
}

std::string slot_path_text(const SlotKey* keys, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (keys[i].is_text) {
      append_slot_key(text, keys[i].text);
    } else {
      append_slot_index(text, keys[i].index);
    }
  }
  return text;
}

}  // namespace velko::spaces
