// A JSON value kept as compact text while it is parsed: what the recorded actions' reader keeps
// of the values it does not read into columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/kind.hpp>

namespace velko::dataset_replay {

// A JSON value written back as compact text while a parser hands over its parts (numbers as
// they were written), up to a number of bytes; past that it only follows the value to its end
// and says it was too long.
class CompactValue {
 public:
  explicit CompactValue(std::size_t max_bytes) : max_bytes_(max_bytes) {}

  // Begins a value of `kind`; what was kept before is dropped.
  void start(boost::json::kind kind);
  bool active() const { return active_; }
  boost::json::kind kind() const { return kind_; }
  // True when the value was longer than the limit: text() is then cut.
  bool over() const { return over_; }
  const std::string& text() const { return text_; }

  // The value's parts, in order; those that can end it return true when it is complete.
  void open(boost::json::kind kind);
  bool close();
  bool scalar(std::string_view text);
  void string_part(std::string_view part);
  bool string_end();
  void key_end();

 private:
  enum : std::uint8_t { kArrayFirst, kArrayNext, kObjectFirst, kObjectNext };

  void before_value();
  void append(std::string_view text);
  void write_string();
  bool complete();

  std::size_t max_bytes_;
  boost::json::kind kind_ = boost::json::kind::null;
  std::string text_;
  std::string string_;                // the string being read, until its end
  std::vector<std::uint8_t> levels_;  // the open arrays and objects, innermost last
  bool over_ = false;
  bool active_ = false;
};

}  // namespace velko::dataset_replay
