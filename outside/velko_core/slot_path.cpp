#include "outside/velko_core/slot_path.h"

#include <charconv>

namespace velko::core {

namespace {

// White space that may surround a slot path.
bool is_space(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v';
}

// White space that may surround the literal of a key group.
bool is_blank(char ch) { return ch == ' ' || ch == '\t'; }

// The value of a hexadecimal digit, or -1.
int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Appends a code point in UTF-8.
void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

// Throws SlotPathError for the key group with this content.
[[noreturn]] void bad_key(std::string_view content, const char* why) {
  throw SlotPathError("the key [" + std::string(content) + "] " + why);
}

// Decodes the body of a quoted key (between its quotes) into `out`. Unknown escapes keep
// their backslash.
void unescape(std::string_view body, std::string_view content, std::string& out) {
  out.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    char ch = body[i];
    if (ch != '\\') {
      out.push_back(ch);
      continue;
    }
    ++i;  // the quote scan guarantees a character after each backslash
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
        if (body.size() - i - 1 < digits) bad_key(content, "has a truncated hexadecimal escape");
        char32_t c = 0;
        for (std::size_t k = 1; k <= digits; ++k) {
          int v = hex_value(body[i + k]);
          if (v < 0) bad_key(content, "has an escape with a character that is not hexadecimal");
          c = c * 16 + static_cast<char32_t>(v);
        }
        if (c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) {
          bad_key(content, "escapes a value that is not a Unicode character");
        }
        append_utf8(out, c);
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
          append_utf8(out, c);
          i += k - 1;
        } else {
          out.push_back('\\');
          out.push_back(e);
        }
    }
  }
}

// Reads the content of one key group into `key`.
void parse_key(std::string_view content, SlotKey& key) {
  std::string_view literal = content;
  while (!literal.empty() && is_blank(literal.front())) literal.remove_prefix(1);
  while (!literal.empty() && is_blank(literal.back())) literal.remove_suffix(1);
  if (literal.empty()) bad_key(content, "is empty");

  char quote = literal.front();
  if (quote == '\'' || quote == '"') {
    std::size_t i = 1;
    bool escaped = false;
    for (; i < literal.size(); ++i) {
      char ch = literal[i];
      if (escaped) {
        escaped = false;
      } else if (ch == '\\') {
        escaped = true;
      } else if (ch == quote || ch == '\n' || ch == '\r') {
        break;
      }
    }
    if (i != literal.size() - 1 || literal[i] != quote) {
      bad_key(content, "is not a quoted text: it must end at its closing quote");
    }
    key.is_text = true;
    unescape(literal.substr(1, literal.size() - 2), content, key.text);
    return;
  }

  std::string_view digits = literal;
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    bad_key(content, "is not a list position or a quoted text");
  }
  if (digits.size() > 1 && digits.front() == '0' &&
      digits.find_first_not_of('0') != std::string_view::npos) {
    bad_key(content, "is a number with a leading zero");
  }
  std::uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
  if (error != std::errc() || magnitude > (negative ? kLimit : kLimit - 1)) {
    bad_key(content, "is beyond the range of list positions");
  }
  key.index = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
}

}  // namespace

SlotKeys parse_slot_path(std::string_view path) {
  std::string_view rest = path;
  while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
  while (!rest.empty() && is_space(rest.back())) rest.remove_suffix(1);
  SlotKeys keys;
  while (!rest.empty()) {
    if (rest.front() != '[') {
      throw SlotPathError("'" + std::string(rest.substr(0, 1)) +
                          "' stands where a key group \"[...]\" must begin");
    }
    std::size_t close = rest.find_first_of("[]", 1);
    if (close == std::string_view::npos || rest[close] != ']') {
      throw SlotPathError("a key group \"[\" is not closed by \"]\"");
    }
    keys.emplace_back();
    parse_key(rest.substr(1, close - 1), keys.back());
    rest.remove_prefix(close + 1);
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

}  // namespace velko::core
