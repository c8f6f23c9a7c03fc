// The character data of ICU, loaded when a text first holds a character beyond ASCII, so
// that a command that shows and reads only ASCII (--help, `guidance new`) does not pay for
// loading ICU and its 30 MB data library.
#pragma once

#include <unicode/uchar.h>
#include <unicode/ustring.h>

namespace velko::unicode {

// The ICU functions the Unicode helpers call.
struct IcuLibrary {
  decltype(&u_charType) char_type;
  decltype(&u_getIntPropertyValue) int_property_value;
  decltype(&u_isUWhiteSpace) is_white_space;
  decltype(&u_strToLower) str_to_lower;
};

// The loaded library. Throws std::runtime_error saying what to install when ICU cannot be
// loaded.
const IcuLibrary& icu_library();

}  // namespace velko::unicode
