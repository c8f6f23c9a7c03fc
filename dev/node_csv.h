// Reading the records of a CSV text, for the compute node's dataset files.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velko::dev {

// A CSV text that cannot be read; the message names the line.
class CsvError : public std::runtime_error {
 public:
  CsvError(std::size_t line, const std::string& what);
  std::size_t line() const { return line_; }

 private:
  std::size_t line_;
};

// Reads comma-separated records one at a time: fields may be quoted ("a ""b"", c"), quoted
// fields may span lines, lines end in LF or CRLF, a leading UTF-8 byte order mark is skipped
// and blank lines are left out. The text must outlive the reader.
class CsvReader {
 public:
  explicit CsvReader(std::string_view text);

  // Reads the next record into `fields` (unquoted, not trimmed). False at the end of the
  // text. Throws CsvError for an unterminated quote or text after a closing quote.
  bool next(std::vector<std::string>& fields);

  // The line (from 1) on which the last record read began.
  std::size_t line() const { return record_line_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t current_line_ = 1;
  std::size_t record_line_ = 0;
};

}  // namespace velko::dev
