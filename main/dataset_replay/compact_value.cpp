#include "main/dataset_replay/compact_value.h"

#include "common/json_text.h"

namespace velko::dataset_replay {

void CompactValue::start(boost::json::kind kind) {
  kind_ = kind;
  text_.clear();
  string_.clear();
  levels_.clear();
  over_ = false;
  active_ = true;
}

void CompactValue::open(boost::json::kind kind) {
  before_value();
  append(kind == boost::json::kind::object ? "{" : "[");
  levels_.push_back(kind == boost::json::kind::object ? kObjectFirst : kArrayFirst);
}

bool CompactValue::close() {
  bool object = levels_.back() == kObjectFirst || levels_.back() == kObjectNext;
  levels_.pop_back();
  append(object ? "}" : "]");
  return complete();
}

bool CompactValue::scalar(std::string_view text) {
  before_value();
  append(text);
  return complete();
}

void CompactValue::string_part(std::string_view part) {
  if (text_.size() + string_.size() + part.size() > max_bytes_) {
    over_ = true;
  } else {
    string_.append(part);
  }
}

bool CompactValue::string_end() {
  before_value();
  write_string();
  return complete();
}

void CompactValue::key_end() {
  std::uint8_t& level = levels_.back();
  if (level == kObjectNext) append(",");
  level = kObjectNext;
  write_string();
  append(":");
}

void CompactValue::before_value() {
  if (levels_.empty()) return;
  std::uint8_t& level = levels_.back();
  if (level == kArrayNext) append(",");
  if (level == kArrayFirst) level = kArrayNext;
}

void CompactValue::append(std::string_view text) {
  if (over_ || text_.size() + text.size() > max_bytes_) {
    over_ = true;
  } else {
    text_.append(text);
  }
}

void CompactValue::write_string() {
  if (!over_) json_text::write_string(text_, string_);
  string_.clear();
  if (text_.size() > max_bytes_) over_ = true;
}

bool CompactValue::complete() {
  if (!levels_.empty()) return false;
  active_ = false;
  return true;
}

}  // namespace velko::dataset_replay
