// Unicode helpers over UTF-8 text: decoding, case, character classes, display width.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velko::unicode {

// The byte offset of the first byte that is not part of well-formed UTF-8, if any.
std::optional<std::size_t> invalid_utf8_at(std::string_view text);

// Decodes UTF-8; ill-formed bytes become U+FFFD.
std::u32string decode(std::string_view text);

// Decodes the code point at `pos` (which must be within the text) and moves `pos` past it; a
// maximal ill-formed part is one U+FFFD, as in decode().
char32_t decode_next(std::string_view text, std::size_t& pos);

// Appends the UTF-8 encoding of one code point.
void append_utf8(std::string& out, char32_t c);
std::string encode(std::u32string_view text);

// The full Unicode lower-case mapping of a text (language-neutral).
std::string lower(std::string_view text);

// White_Space property.
bool is_space(char32_t c);
// A letter (any L category) or a character with a numeric value (decimal, digit, numeric).
bool is_alnum(char32_t c);
// Shown as itself in a literal: not a control, format, surrogate, private-use, unassigned,
// line or paragraph separator, nor a space other than the ASCII blank.
bool is_printable(char32_t c);

// The text without Unicode white space at both ends.
std::string trim(std::string_view text);

// Terminal columns taken by the text: wide characters count two, combining marks none.
std::size_t display_width(std::string_view text);

}  // namespace velko::unicode
