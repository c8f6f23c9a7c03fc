#include "common/json_text.h"

#include <charconv>
#include <cmath>
#include <vector>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value.hpp>
#include <boost/json/value_stack.hpp>

#include "common/unicode.h"

namespace velko::json_text {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_u_escape(std::string& out, uint32_t unit) {
  out += "\\u";
  for (int i = 3; i >= 0; --i) out.push_back(kHex[(unit >> (4 * i)) & 0xF]);
}

// Escapes a text that may hold non-ASCII characters.
void write_string_slow(std::string& out, std::string_view text, bool ascii_only) {
  for (char32_t c : unicode::decode(text)) {
    switch (c) {
      case U'"':
        out += "\\\"";
        continue;
      case U'\\':
        out += "\\\\";
        continue;
      case U'\n':
        out += "\\n";
        continue;
      case U'\r':
        out += "\\r";
        continue;
      case U'\t':
        out += "\\t";
        continue;
      case U'\b':
        out += "\\b";
        continue;
      case U'\f':
        out += "\\f";
        continue;
      default:
        break;
    }
    if (c < 0x20 || (ascii_only && c >= 0x7F)) {
      if (c >= 0x10000) {
        char32_t v = c - 0x10000;
        append_u_escape(out, 0xD800 + (v >> 10));
        append_u_escape(out, 0xDC00 + (v & 0x3FF));
      } else {
        append_u_escape(out, c);
      }
    } else {
      unicode::append_utf8(out, c);
    }
  }
}

void write_value(std::string& out, const boost::json::value& value, bool ascii_only) {
  switch (value.kind()) {
    case boost::json::kind::null:
      out += "null";
      return;
    case boost::json::kind::bool_:
      out += value.get_bool() ? "true" : "false";
      return;
    case boost::json::kind::int64: {
      char buffer[24];
      auto r = std::to_chars(buffer, buffer + sizeof buffer, value.get_int64());
      out.append(buffer, r.ptr);
      return;
    }
    case boost::json::kind::uint64: {
      char buffer[24];
      auto r = std::to_chars(buffer, buffer + sizeof buffer, value.get_uint64());
      out.append(buffer, r.ptr);
      return;
    }
    case boost::json::kind::double_:
      write_double(out, value.get_double());
      return;
    case boost::json::kind::string:
      write_string(out, value.get_string(), ascii_only);
      return;
    case boost::json::kind::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value.get_array()) {
        if (!first) out.push_back(',');
        first = false;
        write_value(out, element, ascii_only);
      }
      out.push_back(']');
      return;
    }
    case boost::json::kind::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& member : value.get_object()) {
        if (!first) out.push_back(',');
        first = false;
        write_string(out, member.key(), ascii_only);
        out.push_back(':');
        write_value(out, member.value(), ascii_only);
      }
      out.push_back('}');
      return;
    }
  }
}

// The size that a value's text needs at most, save for escapes in texts (rare; the text then
// grows as usual). Reserving it up front keeps writing a large body from moving what it has
// written: growing by doubling copies it over and over and touches twice the memory.
std::size_t max_text_size(const boost::json::value& value) {
  switch (value.kind()) {
    case boost::json::kind::null:
    case boost::json::kind::bool_:
      return 5;
    case boost::json::kind::int64:
    case boost::json::kind::uint64:
      return 20;
    case boost::json::kind::double_:
      return 26;  // 24 characters at most, and ".0"
    case boost::json::kind::string:
      return 2 + value.get_string().size();
    case boost::json::kind::array: {
      std::size_t size = 2;
      for (const auto& element : value.get_array()) size += 1 + max_text_size(element);
      return size;
    }
    case boost::json::kind::object: {
      std::size_t size = 2;
      for (const auto& member : value.get_object()) {
        size += 4 + member.key().size() + max_text_size(member.value());
      }
      return size;
    }
  }
  return 0;
}

// The characters that a JSON number is written with.
constexpr std::string_view kNumberCharacters = "0123456789+-.eE";

// Where the number that ends at (or runs through) `offset` begins.
std::size_t number_start(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  while (offset > 0 && kNumberCharacters.find(text[offset - 1]) != std::string_view::npos) {
    --offset;
  }
  return offset;
}

// A number's text as a message shows it: a long one is cut.
std::string shown_number(std::string_view number) {
  constexpr std::size_t kMaxShown = 40;
  if (number.size() <= kMaxShown) return std::string(number);
  return std::string(number.substr(0, kMaxShown)) + "...";
}

// Reads the numbers of a document as the builders below keep them: numbers with a fraction or
// an exponent (and integers beyond 64 bits) are read again from their text, so that each
// becomes the double nearest to what is written: the text of a double written by write()
// reads back as that same double.
class NumberReader {
 public:
  // Set when a number lies beyond the range of a double.
  bool out_of_range = false;

  void part(boost::json::string_view s) { number_.append(s.data(), s.size()); }
  // A number ended that is not read again (an integer): the parts kept for it are let go.
  void drop() { number_.clear(); }

  // The double of a number whose text ends with `s`; false (with `ec` set) when it cannot be
  // read.
  bool read(boost::json::string_view s, double& value, boost::json::error_code& ec) {
    std::string_view digits(s.data(), s.size());
    if (!number_.empty()) {
      number_.append(digits);
      digits = number_;
    }
    value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error == std::errc::result_out_of_range) {
      if (above_one(digits)) {
        out_of_range = true;
        ec = boost::json::error::exception;
        return false;
      }
      // Too small to tell from zero: zero, with its sign.
      value = digits.front() == '-' ? -0.0 : 0.0;
    } else if (error != std::errc() || end != digits.data() + digits.size()) {
      // The parser has checked the form already.
      ec = boost::json::error::syntax;
      return false;
    }
    number_.clear();
    return true;
  }

 private:
  // True when a JSON number's size is at least 1: its first significant digit stands at or
  // left of the units.
  static bool above_one(std::string_view number) {
    std::size_t i = number.front() == '-' ? 1 : 0;
    // The place of the first significant digit: 0 for the units, -1 for tenths.
    std::int64_t place = 0;
    bool found = false;
    std::int64_t integer_digits = 0;
    for (; i < number.size() && number[i] >= '0' && number[i] <= '9'; ++i) {
      if (!found && number[i] != '0') found = true;
      if (found) ++integer_digits;
    }
    if (found) {
      place = integer_digits - 1;
    } else if (i < number.size() && number[i] == '.') {
      std::int64_t zeros = 0;
      for (++i; i < number.size() && number[i] == '0'; ++i) ++zeros;
      place = -(zeros + 1);
    }
    std::size_t e = number.find_first_of("eE");
    std::int64_t exponent = 0;
    if (e != std::string_view::npos) {
      std::size_t j = e + 1;
      bool negative = j < number.size() && number[j] == '-';
      if (j < number.size() && (number[j] == '-' || number[j] == '+')) ++j;
      // The parser bounds the exponent below 2^31.
      for (; j < number.size(); ++j) exponent = exponent * 10 + (number[j] - '0');
      if (negative) exponent = -exponent;
    }
    return place + exponent >= 0;
  }

  // The text of a number that arrives in parts.
  std::string number_;
};

// Builds the value of a document as the parser reads it, on Boost.JSON's value stack.
class ValueBuilder {
 public:
  static constexpr std::size_t max_object_size = boost::json::object::max_size();
  static constexpr std::size_t max_array_size = boost::json::array::max_size();
  static constexpr std::size_t max_key_size = boost::json::string::max_size();
  static constexpr std::size_t max_string_size = boost::json::string::max_size();

  ValueBuilder() { stack.reset(); }

  boost::json::value_stack stack;
  NumberReader numbers;

  bool on_document_begin(boost::json::error_code&) { return true; }
  bool on_document_end(boost::json::error_code&) { return true; }
  bool on_object_begin(boost::json::error_code&) { return true; }
  bool on_object_end(std::size_t n, boost::json::error_code&) {
    stack.push_object(n);
    return true;
  }
  bool on_array_begin(boost::json::error_code&) { return true; }
  bool on_array_end(std::size_t n, boost::json::error_code&) {
    stack.push_array(n);
    return true;
  }
  bool on_key_part(boost::json::string_view s, std::size_t, boost::json::error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_key(boost::json::string_view s, std::size_t, boost::json::error_code&) {
    stack.push_key(s);
    return true;
  }
  bool on_string_part(boost::json::string_view s, std::size_t, boost::json::error_code&) {
    stack.push_chars(s);
    return true;
  }
  bool on_string(boost::json::string_view s, std::size_t, boost::json::error_code&) {
    stack.push_string(s);
    return true;
  }
  bool on_number_part(boost::json::string_view s, boost::json::error_code&) {
    numbers.part(s);
    return true;
  }
  bool on_int64(std::int64_t i, boost::json::string_view, boost::json::error_code&) {
    numbers.drop();
    stack.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, boost::json::string_view, boost::json::error_code&) {
    numbers.drop();
    stack.push_uint64(u);
    return true;
  }
  bool on_double(double, boost::json::string_view s, boost::json::error_code& ec) {
    double value = 0;
    if (!numbers.read(s, value, ec)) return false;
    stack.push_double(value);
    return true;
  }
  bool on_bool(bool b, boost::json::error_code&) {
    stack.push_bool(b);
    return true;
  }
  bool on_null(boost::json::error_code&) {
    stack.push_null();
    return true;
  }
  bool on_comment_part(boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_comment(boost::json::string_view, boost::json::error_code&) { return true; }
};

// The first reading of parse_sized: the size of every list and map, in the order they begin,
// and the scalars of the first parts of a top-level list. Nothing of the text is kept. A
// number beyond the range of a double is refused here, so that a text is refused for the
// same fault as parse() refuses it.
class ShapeReader {
 public:
  static constexpr std::size_t max_object_size = boost::json::object::max_size();
  static constexpr std::size_t max_array_size = boost::json::array::max_size();
  static constexpr std::size_t max_key_size = boost::json::string::max_size();
  static constexpr std::size_t max_string_size = boost::json::string::max_size();

  TextShape shape;
  NumberReader numbers;

  bool on_document_begin(boost::json::error_code&) { return true; }
  bool on_document_end(boost::json::error_code&) { return true; }
  bool on_object_begin(boost::json::error_code&) {
    begin(false);
    return true;
  }
  bool on_object_end(std::size_t n, boost::json::error_code&) {
    end(n);
    return true;
  }
  bool on_array_begin(boost::json::error_code&) {
    begin(true);
    return true;
  }
  bool on_array_end(std::size_t n, boost::json::error_code&) {
    end(n);
    return true;
  }
  bool on_key_part(boost::json::string_view, std::size_t, boost::json::error_code&) { return true; }
  bool on_key(boost::json::string_view, std::size_t, boost::json::error_code&) { return true; }
  bool on_string_part(boost::json::string_view, std::size_t, boost::json::error_code&) {
    return true;
  }
  bool on_string(boost::json::string_view, std::size_t, boost::json::error_code&) {
    return scalar();
  }
  bool on_number_part(boost::json::string_view s, boost::json::error_code&) {
    numbers.part(s);
    return true;
  }
  bool on_int64(std::int64_t, boost::json::string_view, boost::json::error_code&) {
    numbers.drop();
    return scalar();
  }
  bool on_uint64(std::uint64_t, boost::json::string_view, boost::json::error_code&) {
    numbers.drop();
    return scalar();
  }
  bool on_double(double approx, boost::json::string_view s, boost::json::error_code& ec) {
    // Only a number that the parser's reading puts near the end of the range is read again.
    if (std::isfinite(approx) && std::fabs(approx) < 1e300) {
      numbers.drop();
      return scalar();
    }
    double value = 0;
    if (!numbers.read(s, value, ec)) return false;
    return scalar();
  }
  bool on_bool(bool, boost::json::error_code&) { return scalar(); }
  bool on_null(boost::json::error_code&) { return scalar(); }
  bool on_comment_part(boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_comment(boost::json::string_view, boost::json::error_code&) { return true; }

 private:
  // A value begins at the current depth: an element of a top-level list starts a part.
  void element() {
    if (top_is_list_ && open_.size() == 1) ++parts_begun_;
  }
  // The part (from 0) that the values read now belong to, when it is one counted.
  std::size_t* part() {
    if (!top_is_list_ || open_.empty() || parts_begun_ == 0 ||
        parts_begun_ > TextShape::kCountedParts) {
      return nullptr;
    }
    std::size_t index = parts_begun_ - 1;
    if (shape.part_values.size() <= index) shape.part_values.resize(index + 1, 0);
    return &shape.part_values[index];
  }
  bool scalar() {
    element();
    if (std::size_t* values = part()) ++*values;
    return true;
  }
  void begin(bool list) {
    element();
    if (open_.empty()) top_is_list_ = list;
    part();  // a part that is a list or a map is counted even when it holds nothing
    open_.push_back(shape.sizes.size());
    shape.sizes.push_back(0);
  }
  void end(std::size_t n) {
    shape.sizes[open_.back()] = n;
    open_.pop_back();
  }

  // The index in shape.sizes of each list or map that is open.
  std::vector<std::size_t> open_;
  bool top_is_list_ = false;
  // Elements of the top-level list begun so far.
  std::size_t parts_begun_ = 0;
};

// The second reading of parse_sized: builds each list and map in place at the size that the
// first reading found, so that nothing is moved or held twice.
class SizedBuilder {
 public:
  static constexpr std::size_t max_object_size = boost::json::object::max_size();
  static constexpr std::size_t max_array_size = boost::json::array::max_size();
  static constexpr std::size_t max_key_size = boost::json::string::max_size();
  static constexpr std::size_t max_string_size = boost::json::string::max_size();

  explicit SizedBuilder(const std::vector<std::size_t>& sizes) : sizes_(sizes) {}

  NumberReader numbers;
  boost::json::value result;

  bool on_document_begin(boost::json::error_code&) { return true; }
  bool on_document_end(boost::json::error_code&) { return true; }
  bool on_object_begin(boost::json::error_code&) {
    boost::json::object object;
    object.reserve(next_size());
    open_.push_back(Open{boost::json::value(std::move(object)), {}});
    return true;
  }
  bool on_array_begin(boost::json::error_code&) {
    boost::json::array array;
    array.reserve(next_size());
    open_.push_back(Open{boost::json::value(std::move(array)), {}});
    return true;
  }
  bool on_object_end(std::size_t, boost::json::error_code&) { return close(); }
  bool on_array_end(std::size_t, boost::json::error_code&) { return close(); }
  bool on_key_part(boost::json::string_view s, std::size_t, boost::json::error_code&) {
    text_.append(s.data(), s.size());
    return true;
  }
  bool on_key(boost::json::string_view s, std::size_t, boost::json::error_code&) {
    text_.append(s.data(), s.size());
    open_.back().key.swap(text_);
    text_.clear();
    return true;
  }
  bool on_string_part(boost::json::string_view s, std::size_t, boost::json::error_code&) {
    text_.append(s.data(), s.size());
    return true;
  }
  bool on_string(boost::json::string_view s, std::size_t, boost::json::error_code&) {
    text_.append(s.data(), s.size());
    add(boost::json::string(text_));
    text_.clear();
    return true;
  }
  bool on_number_part(boost::json::string_view s, boost::json::error_code&) {
    numbers.part(s);
    return true;
  }
  bool on_int64(std::int64_t i, boost::json::string_view, boost::json::error_code&) {
    numbers.drop();
    add(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, boost::json::string_view, boost::json::error_code&) {
    numbers.drop();
    add(u);
    return true;
  }
  bool on_double(double, boost::json::string_view s, boost::json::error_code& ec) {
    double value = 0;
    if (!numbers.read(s, value, ec)) return false;
    add(value);
    return true;
  }
  bool on_bool(bool b, boost::json::error_code&) {
    add(b);
    return true;
  }
  bool on_null(boost::json::error_code&) {
    add(nullptr);
    return true;
  }
  bool on_comment_part(boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_comment(boost::json::string_view, boost::json::error_code&) { return true; }

 private:
  // A list or a map being built, with the name of the member whose value comes next.
  struct Open {
    boost::json::value value;
    std::string key;
  };

  std::size_t next_size() { return next_ < sizes_.size() ? sizes_[next_++] : 0; }

  // Puts a finished value where it belongs. Of a name that a map repeats, the last value
  // counts, in the place of the first, as parse() keeps it.
  void add(boost::json::value value) {
    if (open_.empty()) {
      result = std::move(value);
    } else if (boost::json::array* array = open_.back().value.if_array()) {
      array->push_back(std::move(value));
    } else {
      boost::json::object& object = open_.back().value.get_object();
      const std::string& key = open_.back().key;
      if (boost::json::value* member = object.if_contains(key)) {
        *member = std::move(value);
      } else {
        object.emplace(key, std::move(value));
      }
    }
  }
  bool close() {
    boost::json::value done = std::move(open_.back().value);
    open_.pop_back();
    add(std::move(done));
    return true;
  }

  const std::vector<std::size_t>& sizes_;
  std::size_t next_ = 0;
  std::vector<Open> open_;
  std::string text_;
};

// Line and column (both from 1) of a byte offset.
std::string position(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t line_start = 0;
  offset = std::min(offset, text.size());
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::size_t column = unicode::decode(text.substr(line_start, offset - line_start)).size() + 1;
  return "line " + std::to_string(line) + " column " + std::to_string(column) + " (char " +
         std::to_string(offset) + ")";
}

}  // namespace

void write_string(std::string& out, std::string_view text, bool ascii_only) {
  // Fast path: printable ASCII without quotes or backslashes is copied as it is.
  for (unsigned char ch : text) {
    if (ch < 0x20 || ch >= 0x7F || ch == '"' || ch == '\\') {
      out.push_back('"');
      write_string_slow(out, text, ascii_only);
      out.push_back('"');
      return;
    }
  }
  out.push_back('"');
  out.append(text);
  out.push_back('"');
}

void write_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    throw std::domain_error("a number that is not finite cannot be written as JSON");
  }
  char buffer[32];
  auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string_view digits(buffer, static_cast<std::size_t>(r.ptr - buffer));
  out.append(digits);
  if (digits.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void write(std::string& out, const boost::json::value& value, bool ascii_only) {
  write_value(out, value, ascii_only);
}

std::string to_json(const boost::json::value& value, bool ascii_only) {
  std::string out;
  out.reserve(max_text_size(value));
  write_value(out, value, ascii_only);
  return out;
}

namespace {

// Reads `text` with `parser`; raises the JsonError of a text that is not one JSON document.
template <class Parser>
void read_document(Parser& parser, std::string_view text, std::size_t max_depth,
                   const NumberReader* numbers) {
  boost::json::error_code ec;
  // The whole text at once: a number is never left waiting for more digits.
  std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && used < text.size() &&
      text.find_first_not_of(" \t\r\n", used) != std::string_view::npos) {
    // Only white space may follow the document.
    used = text.find_first_not_of(" \t\r\n", used);
    ec = boost::json::error::extra_data;
  }
  if (!ec) return;
  std::string what;
  if ((numbers && numbers->out_of_range) || ec == boost::json::error::exponent_overflow) {
    std::size_t start = number_start(text, used);
    std::size_t end = text.find_first_not_of(kNumberCharacters, start);
    what = "number out of range (" + shown_number(text.substr(start, end - start)) +
           "; a number must be smaller than 1.8e308 in size)";
    used = start;
  } else if (ec == boost::json::error::too_deep) {
    what = "nesting deeper than " + std::to_string(max_depth) + " levels";
  } else if (ec == boost::json::error::extra_data) {
    what = "extra data after the JSON value";
  } else if (ec == boost::json::error::incomplete) {
    what = text.find_first_not_of(" \t\r\n") == std::string_view::npos
               ? "expected a value"
               : "unexpected end of the text";
  } else if (ec == boost::json::error::syntax) {
    what = "syntax error";
  } else {
    what = ec.message();
  }
  throw JsonError(what + " at " + position(text, used));
}

boost::json::parse_options depth_options(std::size_t max_depth) {
  boost::json::parse_options options;
  options.max_depth = max_depth;
  return options;
}

}  // namespace

boost::json::value parse(std::string_view text, std::size_t max_depth) {
  boost::json::basic_parser<ValueBuilder> parser(depth_options(max_depth));
  read_document(parser, text, max_depth, &parser.handler().numbers);
  return parser.handler().stack.release();
}

boost::json::value parse_sized(std::string_view text,
                               const std::function<void(const TextShape&)>& check,
                               std::size_t max_depth) {
  TextShape shape;
  {
    boost::json::basic_parser<ShapeReader> first(depth_options(max_depth));
    read_document(first, text, max_depth, &first.handler().numbers);
    shape = std::move(first.handler().shape);
  }
  if (check) check(shape);
  boost::json::basic_parser<SizedBuilder> second(depth_options(max_depth), shape.sizes);
  read_document(second, text, max_depth, &second.handler().numbers);
  return std::move(second.handler().result);
}

}  // namespace velko::json_text
