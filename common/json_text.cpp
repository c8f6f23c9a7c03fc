#include "common/json_text.h"

#include <charconv>
#include <cmath>

#include <boost/json/stream_parser.hpp>
#include <boost/json/value.hpp>

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
      case U'"': out += "\\\""; continue;
      case U'\\': out += "\\\\"; continue;
      case U'\n': out += "\\n"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\t': out += "\\t"; continue;
      case U'\b': out += "\\b"; continue;
      case U'\f': out += "\\f"; continue;
      default: break;
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
    case boost::json::kind::bool_: return 5;
    case boost::json::kind::int64:
    case boost::json::kind::uint64: return 20;
    case boost::json::kind::double_: return 26;  // 24 characters at most, and ".0"
    case boost::json::kind::string: return 2 + value.get_string().size();
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

boost::json::value parse(std::string_view text, std::size_t max_depth) {
  boost::json::parse_options options;
  options.max_depth = max_depth;
  boost::json::stream_parser parser(boost::json::storage_ptr(), options);
  boost::json::error_code ec;
  std::size_t used = parser.write_some(text.data(), text.size(), ec);
  if (!ec && used < text.size() &&
      text.find_first_not_of(" \t\r\n", used) != std::string_view::npos) {
    // Only white space may follow the document.
    used = text.find_first_not_of(" \t\r\n", used);
    ec = boost::json::error::extra_data;
  }
  if (!ec) parser.finish(ec);
  if (ec) {
    std::string what;
    if (ec == boost::json::error::too_deep) {
      what = "nesting deeper than " + std::to_string(max_depth) + " levels";
    } else if (ec == boost::json::error::extra_data) {
      what = "extra data after the JSON value";
    } else if (ec == boost::json::error::incomplete) {
      what = text.find_first_not_of(" \t\r\n") == std::string_view::npos ? "expected a value"
                                                                          : "unexpected end of the text";
    } else if (ec == boost::json::error::syntax) {
      what = "syntax error";
    } else {
      what = ec.message();
    }
    throw JsonError(what + " at " + position(text, used));
  }
  return parser.release();
}

}  // namespace velko::json_text
