#include "dev/node_csv.h"

namespace velko::dev {

CsvError::CsvError(std::size_t line, const std::string& what)
    : std::runtime_error("line " + std::to_string(line) + ": " + what), line_(line) {}

CsvReader::CsvReader(std::string_view text) : text_(text) {
  if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
}

bool CsvReader::next(std::vector<std::string>& fields) {
  fields.clear();
  // Blank lines carry no record.
  while (pos_ < text_.size() && (text_[pos_] == '\n' || text_[pos_] == '\r')) {
    if (text_[pos_] == '\n') ++current_line_;
    ++pos_;
  }
  if (pos_ >= text_.size()) return false;
  record_line_ = current_line_;
  std::string field;
  while (true) {
    if (pos_ < text_.size() && text_[pos_] == '"') {
      // A quoted field: up to the closing quote; "" stands for one quote.
      std::size_t opened_on = current_line_;
      ++pos_;
      while (true) {
        if (pos_ >= text_.size()) throw CsvError(opened_on, "a quoted field is never closed");
        char c = text_[pos_++];
        if (c == '"') {
          if (pos_ < text_.size() && text_[pos_] == '"') {
            field.push_back('"');
            ++pos_;
            continue;
          }
          break;
        }
        if (c == '\n') ++current_line_;
        field.push_back(c);
      }
      bool at_end = pos_ >= text_.size() || text_[pos_] == ',' || text_[pos_] == '\n' ||
                    (text_[pos_] == '\r' && (pos_ + 1 >= text_.size() || text_[pos_ + 1] == '\n'));
      if (!at_end) throw CsvError(current_line_, "text follows the closing quote of a field");
    } else {
      std::size_t end = text_.find_first_of(",\n", pos_);
      if (end == std::string_view::npos) end = text_.size();
      std::string_view raw = text_.substr(pos_, end - pos_);
      if (end < text_.size() && text_[end] == '\n' && !raw.empty() && raw.back() == '\r') {
        raw.remove_suffix(1);
      } else if (end == text_.size() && !raw.empty() && raw.back() == '\r') {
        raw.remove_suffix(1);
      }
      field.append(raw);
      pos_ = end;
    }
    fields.push_back(std::move(field));
    field.clear();
    if (pos_ < text_.size() && text_[pos_] == '\r') ++pos_;
    if (pos_ >= text_.size()) return true;
    char separator = text_[pos_++];
    if (separator == '\n') {
      ++current_line_;
      return true;
    }
  }
}

}  // namespace velko::dev
