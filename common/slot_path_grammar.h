// The grammar of slot paths, the text form that addresses one element of a sim's observation or
// action: ['tank'][1], [0]['a'][-1]. A path is optional white space, key groups "[" literal "]"
// with nothing between them, and optional white space; the empty path addresses the whole
// value. A literal is an optionally signed decimal integer (a list position, negative from the
// end) or a text between single or double quotes with backslash escapes (a map key); blanks and
// tabs may surround it. The report run and the core library both read paths with this one
// reader and word its faults in their own messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velko::slot_path {

// What makes the literal of a key group unreadable.
enum class KeyFault {
  kNone,
  kEmpty,            // nothing but blanks between the brackets
  kUnclosedText,     // a quoted text that does not end at its closing quote
  kTruncatedEscape,  // \x, \u or \U followed by fewer hexadecimal digits than it takes
  kNotHexadecimal,   // \x, \u or \U followed by a character that is not a hexadecimal digit
  kBeyondUnicode,    // an escape of a value above U+10FFFF
  kLoneSurrogate,    // an escape of a surrogate that is not half of a \uD8xx\uDCxx pair
  kNotALiteral,      // neither an integer nor a quoted text
  kLeadingZero,      // an integer with a leading zero
  kOutOfRange,       // an integer beyond the 64-bit range
};

// What the fault means, as the end of a sentence about the key ("is empty", ...); the empty
// text for kNone.
const char* fault_text(KeyFault fault);

// One key of a path: a list position or a map key. `text` points into the literal when it has
// no escapes, otherwise into the scratch text given to read_key.
struct Key {
  bool is_text = false;
  std::int64_t index = 0;
  std::string_view text;
};

// One key of a path as it is kept once read: a list position (negative counts from the end)
// or a map key. The core library and the report run both hold a path's keys in this form.
struct SlotKey {
  bool is_text = false;
  std::int64_t index = 0;
  std::string text;
  bool operator==(const SlotKey&) const = default;
};

// The key that `key` reads, kept beyond the literal and the scratch text it points into.
inline SlotKey kept_key(const Key& key) { return {key.is_text, key.index, std::string(key.text)}; }

// Reads the literal of one key group, the content between its brackets, into `key`; escaped
// texts are decoded into `scratch`, which must outlive the use of `key.text`. A valid pair of
// \u escapes of surrogates is the character they encode. Returns the fault, kNone when read.
KeyFault read_key(std::string_view content, Key& key, std::string& scratch);

// One part of a path, as Scanner finds it.
struct Part {
  enum class Kind {
    kGroup,     // a key group; `text` is its content between the brackets
    kStray,     // a character where a key group must begin; `text` is that character
    kUnclosed,  // a "[" that is not closed by "]" before the next "[" or the end; `text` is "["
  };
  Kind kind = Kind::kGroup;
  std::size_t offset = 0;  // where the part begins in the path
  std::string_view text;
};

// Walks a path from left to right and hands out its key groups and its faults in the order
// they stand. The Unicode white space at both ends of the path is passed over; any other text
// outside the groups is a fault. After a fault the walk goes on at the next "[", so that the
// groups behind it are found too. A path is well formed when it has no fault part.
class Scanner {
 public:
  explicit Scanner(std::string_view path);
  // The next part into `part`; false at the end of the path.
  bool next(Part& part);

 private:
  std::string_view path_;
  std::size_t pos_;
};

}  // namespace velko::slot_path
