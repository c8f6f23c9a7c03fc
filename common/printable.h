// How a text that velko did not write (a name, a path, an argument given back, a message of a
// server or a sim) is shown on a terminal, so that it can neither steer the terminal nor
// rewrite or reorder what is shown around it.
#pragma once

#include <string>
#include <string_view>

namespace velko {

// Whether a text's line breaks and tabs are kept (a message that may span lines) or escaped
// like any other control character (a name, always shown on one line).
enum class LineBreaks { kKept, kEscaped };

// The text with its control characters (C0, DEL and C1) and the bytes that are not UTF-8
// written as \xNN, and the bidirectional controls (U+202A-U+202E, U+2066-U+2069), which would
// reorder the text around them, as \uNNNN. Line breaks and tabs are kept unless told.
std::string printable(std::string_view text, LineBreaks line_breaks = LineBreaks::kKept);

// A name as it is shown: printable on one line.
inline std::string printable_name(std::string_view text) {
  return printable(text, LineBreaks::kEscaped);
}

}  // namespace velko
