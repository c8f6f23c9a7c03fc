#include "common/unicode.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "common/icu_library.h"

namespace velko::unicode {

std::optional<std::size_t> invalid_utf8_at(std::string_view text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) {
    // Check in slices small enough for ICU's 32-bit offsets.
    std::size_t offset = 0;
    while (offset < text.size()) {
      std::size_t n = std::min<std::size_t>(text.size() - offset, 1u << 30);
      // Move the cut back to a lead byte so no sequence is split.
      if (offset + n < text.size()) {
        while (n > 0 && (s[offset + n] & 0xC0) == 0x80) --n;
      }
      if (auto bad = invalid_utf8_at(text.substr(offset, n))) return offset + *bad;
      offset += n;
    }
    return std::nullopt;
  }
  int32_t i = 0;
  while (i < length) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return static_cast<std::size_t>(start);
  }
  return std::nullopt;
}

char32_t decode_next(std::string_view text, std::size_t& pos) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data()) + pos;
  if (s[0] < 0x80) {
    ++pos;
    return s[0];
  }
  int32_t j = 0;
  int32_t length = static_cast<int32_t>(std::min<std::size_t>(text.size() - pos, 4));
  UChar32 c;
  U8_NEXT(s, j, length, c);
  pos += static_cast<std::size_t>(j);
  return c < 0 ? U'\uFFFD' : static_cast<char32_t>(c);
}

std::u32string decode(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) out.push_back(decode_next(text, i));
  return out;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string encode(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) append_utf8(out, c);
  return out;
}

std::string lower(std::string_view text) {
  // ASCII fast path: the common case for names and keys.
  bool ascii = true;
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    std::string out(text);
    for (char& ch : out) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return out;
  }
  std::u32string code_points = decode(text);
  std::vector<UChar> utf16;
  utf16.reserve(code_points.size() * 2);
  for (char32_t c : code_points) {
    if (c >= 0x10000) {
      utf16.push_back(static_cast<UChar>(U16_LEAD(c)));
      utf16.push_back(static_cast<UChar>(U16_TRAIL(c)));
    } else {
      utf16.push_back(static_cast<UChar>(c));
    }
  }
  std::vector<UChar> lowered(utf16.size() * 3 + 8);
  UErrorCode status = U_ZERO_ERROR;
  const auto str_to_lower = icu_library().str_to_lower;
  int32_t n = str_to_lower(lowered.data(), static_cast<int32_t>(lowered.size()), utf16.data(),
                           static_cast<int32_t>(utf16.size()), "", &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    lowered.resize(static_cast<std::size_t>(n));
    status = U_ZERO_ERROR;
    n = str_to_lower(lowered.data(), n, utf16.data(), static_cast<int32_t>(utf16.size()), "",
                     &status);
  }
  if (U_FAILURE(status)) throw std::runtime_error("lower-case mapping failed");
  std::string out;
  out.reserve(text.size());
  for (int32_t i = 0; i < n;) {
    UChar32 c;
    U16_NEXT(lowered.data(), i, n, c);
    append_utf8(out, static_cast<char32_t>(c));
  }
  return out;
}

bool is_space(char32_t c) {
  if (c < 0x80) return c == U' ' || (c >= U'\t' && c <= U'\r');
  return icu_library().is_white_space(static_cast<UChar32>(c));
}

bool is_alnum(char32_t c) {
  auto cp = static_cast<UChar32>(c);
  if (c < 0x80) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  }
  const IcuLibrary& icu = icu_library();
  if (U_MASK(icu.char_type(cp)) & U_GC_L_MASK) return true;
  return icu.int_property_value(cp, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

bool is_printable(char32_t c) {
  if (c == U' ') return true;
  if (c < 0x20 || c == 0x7F) return false;
  if (c < 0x7F) return true;
  auto mask = U_MASK(icu_library().char_type(static_cast<UChar32>(c)));
  constexpr uint32_t kHidden = U_GC_CC_MASK | U_GC_CF_MASK | U_GC_CS_MASK | U_GC_CO_MASK |
                               U_GC_CN_MASK | U_GC_ZL_MASK | U_GC_ZP_MASK | U_GC_ZS_MASK;
  return (mask & kHidden) == 0;
}

std::string trim(std::string_view text) {
  std::u32string code_points = decode(text);
  std::size_t begin = 0;
  std::size_t end = code_points.size();
  while (begin < end && is_space(code_points[begin])) ++begin;
  while (end > begin && is_space(code_points[end - 1])) --end;
  if (begin == 0 && end == code_points.size() && !invalid_utf8_at(text)) return std::string(text);
  return encode(std::u32string_view(code_points).substr(begin, end - begin));
}

std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (char32_t c : decode(text)) {
    if (c < 0x80) {
      width += (c >= 0x20 && c != 0x7F) ? 1 : 0;
      continue;
    }
    auto cp = static_cast<UChar32>(c);
    const IcuLibrary& icu = icu_library();
    auto mask = U_MASK(icu.char_type(cp));
    if (mask & (U_GC_MN_MASK | U_GC_ME_MASK | U_GC_CF_MASK)) continue;
    int eaw = icu.int_property_value(cp, UCHAR_EAST_ASIAN_WIDTH);
    width += (eaw == U_EA_WIDE || eaw == U_EA_FULLWIDTH) ? 2 : 1;
  }
  return width;
}

}  // namespace velko::unicode
