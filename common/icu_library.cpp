#include "common/icu_library.h"

#include <unicode/uvernum.h>

#include "common/shared_library.h"

namespace velko::unicode {

namespace {

// ICU's functions carry its major version in their names (u_charType_72): the names its
// headers rename them to are the ones to look up.
#define VELKO_ICU_TEXT(x) #x
#define VELKO_ICU_NAME(x) VELKO_ICU_TEXT(x)

IcuLibrary load() {
  SharedLibrary library("libicuuc.so." VELKO_ICU_NAME(U_ICU_VERSION_MAJOR_NUM),
                        "libicu" VELKO_ICU_NAME(U_ICU_VERSION_MAJOR_NUM));
  IcuLibrary lib{};
  library.resolve(VELKO_ICU_NAME(u_charType), lib.char_type);
  library.resolve(VELKO_ICU_NAME(u_getIntPropertyValue), lib.int_property_value);
  library.resolve(VELKO_ICU_NAME(u_isUWhiteSpace), lib.is_white_space);
  library.resolve(VELKO_ICU_NAME(u_strToLower), lib.str_to_lower);
  return lib;
}

}  // namespace

const IcuLibrary& icu_library() {
  static const IcuLibrary library = load();
  return library;
}

}  // namespace velko::unicode
