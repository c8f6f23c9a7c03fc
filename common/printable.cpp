#include "common/printable.h"

#include "common/unicode.h"

namespace velko {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_byte(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0xf];
}

bool is_bidi_control(char32_t c) {
  return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string printable(std::string_view text, LineBreaks line_breaks) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      bool kept = line_breaks == LineBreaks::kKept && (byte == '\n' || byte == '\t');
      if ((byte < 0x20 && !kept) || byte == 0x7f) {
        append_byte(out, byte);
      } else {
        out.push_back(static_cast<char>(byte));
      }
      ++i;
      continue;
    }
    std::size_t start = i;
    char32_t c = unicode::decode_next(text, i);
    std::string_view sequence = text.substr(start, i - start);
    if (c == U'\uFFFD' && sequence != "\xEF\xBF\xBD") {
      for (char part : sequence) append_byte(out, static_cast<unsigned char>(part));
    } else if (c >= 0x80 && c <= 0x9f) {
      append_byte(out, static_cast<unsigned char>(c));
    } else if (is_bidi_control(c)) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xf];
    } else {
      out += sequence;
    }
  }
  return out;
}

}  // namespace velko
