// Slot paths: the text form that addresses one element of a sim's observation or action,
// such as ['tank'][1] or [0][2]. The empty path addresses the whole value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/container/small_vector.hpp>

#include "common/slot_path_grammar.h"

namespace velko::spaces {

// A text that is not a slot path; the message says what is wrong.
class SlotPathError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// One key of a slot path: a list position (negative counts from the end) or a map key.
using SlotKey = slot_path::SlotKey;

// The keys of a slot path; most paths have few, so they are kept inline.
using SlotKeys = boost::container::small_vector<SlotKey, 4>;

// Reads a slot path as common/slot_path_grammar.h defines it. Throws SlotPathError, whose
// message says what stands where a key group must begin, or which key cannot be read and why.
SlotKeys parse_slot_path(std::string_view path);

// Appends the slot key of a map entry: the key between single quotes, with backslash escapes
// for the backslash and the quote, and \xNN for brackets and control characters.
void append_slot_key(std::string& out, std::string_view key);

// Appends the slot key of a list position: "[" index "]".
void append_slot_index(std::string& out, std::int64_t index);

// The slot path of a list of keys.
std::string slot_path_text(const SlotKey* keys, std::size_t count);

}  // namespace velko::spaces
