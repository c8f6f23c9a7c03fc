#include "common/slot_path_grammar.h"

#include <algorithm>
#include <charconv>

#include "common/unicode.h"

namespace velko::slot_path {

namespace {

// White space that may surround the literal of a key group.
bool is_blank(char ch) { return ch == ' ' || ch == '\t'; }

// The Unicode white space that may surround a path.
bool is_white_space(char32_t c) {
  return c < 0x80 ? c == ' ' || (c >= '\t' && c <= '\r') : unicode::is_space(c);
}

// The end of the run of white space that begins at `pos`.
std::size_t skip_white_space(std::string_view text, std::size_t pos) {
  while (pos < text.size()) {
    std::size_t next = pos;
    if (!is_white_space(unicode::decode_next(text, next))) break;
    pos = next;
  }
  return pos;
}

// The value of a hexadecimal digit, or -1.
int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// The UTF-16 surrogates: the first and the second half of a character beyond U+FFFF.
bool is_high_surrogate(char32_t c) { return c >= 0xd800 && c <= 0xdbff; }
bool is_low_surrogate(char32_t c) { return c >= 0xdc00 && c <= 0xdfff; }

// Reads `digits` hexadecimal digits at `at` into `value`.
KeyFault read_hex(std::string_view body, std::size_t at, std::size_t digits, char32_t& value) {
  if (body.size() < at || body.size() - at < digits) return KeyFault::kTruncatedEscape;
  value = 0;
  for (std::size_t k = 0; k < digits; ++k) {
    int v = hex_value(body[at + k]);
    if (v < 0) return KeyFault::kNotHexadecimal;
    value = value * 16 + static_cast<char32_t>(v);
  }
  return KeyFault::kNone;
}

// Decodes the hexadecimal escape whose letter ('x', 'u' or 'U') stands at `i` into `out`, and
// moves `i` to its last character. A \u escape of a high surrogate takes the \u escape of a low
// surrogate right behind it as the second half of one character.
KeyFault unescape_hex(std::string_view body, std::size_t& i, std::string& out) {
  char letter = body[i];
  std::size_t digits = letter == 'x' ? 2 : letter == 'u' ? 4 : 8;
  char32_t c = 0;
  if (KeyFault fault = read_hex(body, i + 1, digits, c); fault != KeyFault::kNone) return fault;
  i += digits;
  if (c > 0x10ffff) return KeyFault::kBeyondUnicode;
  if (letter == 'u' && is_high_surrogate(c) && i + 2 < body.size() && body[i + 1] == '\\' &&
      body[i + 2] == 'u') {
    char32_t low = 0;
    if (read_hex(body, i + 3, 4, low) == KeyFault::kNone && is_low_surrogate(low)) {
      c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
      i += 6;
    }
  }
  if (is_high_surrogate(c) || is_low_surrogate(c)) return KeyFault::kLoneSurrogate;
  unicode::append_utf8(out, c);
  return KeyFault::kNone;
}

// Decodes the body of a quoted text (between its quotes), which holds a backslash, into `out`.
// Unknown escapes keep their backslash; a backslash before a line break drops both.
KeyFault unescape(std::string_view body, std::string& out) {
  out.clear();
  out.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    char ch = body[i];
    if (ch != '\\') {
      out.push_back(ch);
      continue;
    }
    ++i;  // the quote scan leaves a character after each backslash
    char e = body[i];
    switch (e) {
      case '\n':
        break;
      case '\\':
        out.push_back('\\');
        break;
      case '\'':
        out.push_back('\'');
        break;
      case '"':
        out.push_back('"');
        break;
      case 'a':
        out.push_back('\a');
        break;
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'v':
        out.push_back('\v');
        break;
      case 'x':
      case 'u':
      case 'U':
        if (KeyFault fault = unescape_hex(body, i, out); fault != KeyFault::kNone) return fault;
        break;
      default:
        if (e >= '0' && e <= '7') {
          // One to three octal digits.
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
  return KeyFault::kNone;
}

// Reads a quoted text literal; `literal` begins with its quote.
KeyFault read_text(std::string_view literal, Key& key, std::string& scratch) {
  // The closing quote is the first unescaped one; it must end the literal, and no line break
  // may come before it.
  char quote = literal.front();
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
  if (i != literal.size() - 1 || literal[i] != quote) return KeyFault::kUnclosedText;
  std::string_view body = literal.substr(1, literal.size() - 2);
  key.is_text = true;
  if (body.find('\\') == std::string_view::npos) {
    key.text = body;
    return KeyFault::kNone;
  }
  if (KeyFault fault = unescape(body, scratch); fault != KeyFault::kNone) return fault;
  key.text = scratch;
  return KeyFault::kNone;
}

// Reads an integer literal: an optional sign and decimal digits.
KeyFault read_integer(std::string_view literal, Key& key) {
  std::string_view digits = literal;
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return KeyFault::kNotALiteral;
  }
  if (digits.size() > 1 && digits.front() == '0' &&
      digits.find_first_not_of('0') != std::string_view::npos) {
    return KeyFault::kLeadingZero;
  }
  std::uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
  if (error != std::errc() || magnitude > (negative ? kLimit : kLimit - 1)) {
    return KeyFault::kOutOfRange;
  }
  key.is_text = false;
  key.index = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
  return KeyFault::kNone;
}

}  // namespace

const char* fault_text(KeyFault fault) {
  switch (fault) {
    case KeyFault::kNone:
      return "";
    case KeyFault::kEmpty:
      return "is empty";
    case KeyFault::kUnclosedText:
      return "is not a quoted text: it must end at its closing quote";
    case KeyFault::kTruncatedEscape:
      return "has a truncated hexadecimal escape";
    case KeyFault::kNotHexadecimal:
      return "has an escape with a character that is not hexadecimal";
    case KeyFault::kBeyondUnicode:
      return "escapes a value that is not a Unicode character";
    case KeyFault::kLoneSurrogate:
      return "escapes a lone surrogate, which is not a Unicode character on its own";
    case KeyFault::kNotALiteral:
      return "is not a list position or a quoted text";
    case KeyFault::kLeadingZero:
      return "is a number with a leading zero";
    case KeyFault::kOutOfRange:
      return "is beyond the range of list positions";
  }
  return "";
}

KeyFault read_key(std::string_view content, Key& key, std::string& scratch) {
  std::string_view literal = content;
  while (!literal.empty() && is_blank(literal.front())) literal.remove_prefix(1);
  while (!literal.empty() && is_blank(literal.back())) literal.remove_suffix(1);
  if (literal.empty()) return KeyFault::kEmpty;
  if (literal.front() == '\'' || literal.front() == '"') return read_text(literal, key, scratch);
  return read_integer(literal, key);
}

Scanner::Scanner(std::string_view path) : path_(path), pos_(skip_white_space(path, 0)) {}

bool Scanner::next(Part& part) {
  if (pos_ >= path_.size()) return false;
  part.offset = pos_;
  if (path_[pos_] == '[') {
    std::size_t close = path_.find_first_of("[]", pos_ + 1);
    if (close == std::string_view::npos || path_[close] == '[') {
      part.kind = Part::Kind::kUnclosed;
      part.text = path_.substr(pos_, 1);
      pos_ = close == std::string_view::npos ? path_.size() : close;
      return true;
    }
    part.kind = Part::Kind::kGroup;
    part.text = path_.substr(pos_ + 1, close - pos_ - 1);
    pos_ = close + 1;
    return true;
  }
  // Text outside the groups: white space that ends the path, or a fault.
  if (skip_white_space(path_, pos_) == path_.size()) {
    pos_ = path_.size();
    return false;
  }
  std::size_t end = pos_;
  unicode::decode_next(path_, end);
  part.kind = Part::Kind::kStray;
  part.text = path_.substr(pos_, end - pos_);
  pos_ = std::min(path_.find('[', end), path_.size());
  return true;
}

}  // namespace velko::slot_path
