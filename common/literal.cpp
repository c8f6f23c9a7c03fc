#include "common/literal.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include <boost/json/value.hpp>

#include "common/unicode.h"

namespace velko {

namespace {

void append_hex(std::string& out, char prefix, uint32_t value, int digits) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('\\');
  out.push_back(prefix);
  for (int i = digits - 1; i >= 0; --i) out.push_back(kHex[(value >> (4 * i)) & 0xF]);
}

void append_literal(std::string& out, const boost::json::value& value) {
  switch (value.kind()) {
    case boost::json::kind::null:
      out += "None";
      return;
    case boost::json::kind::bool_:
      out += value.get_bool() ? "True" : "False";
      return;
    case boost::json::kind::int64:
    case boost::json::kind::uint64:
    case boost::json::kind::double_:
      out += number_text(value);
      return;
    case boost::json::kind::string:
      out += quoted(value.get_string());
      return;
    case boost::json::kind::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value.get_array()) {
        if (!first) out += ", ";
        first = false;
        append_literal(out, element);
      }
      out.push_back(']');
      return;
    }
    case boost::json::kind::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& member : value.get_object()) {
        if (!first) out += ", ";
        first = false;
        out += quoted(member.key());
        out += ": ";
        append_literal(out, member.value());
      }
      out.push_back('}');
      return;
    }
  }
}

}  // namespace

std::string quoted(std::string_view text) {
  bool has_single = text.find('\'') != std::string_view::npos;
  bool has_double = text.find('"') != std::string_view::npos;
  char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back(quote);
  for (char32_t c : unicode::decode(text)) {
    if (c == static_cast<char32_t>(quote) || c == U'\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == U'\t') {
      out += "\\t";
    } else if (c == U'\n') {
      out += "\\n";
    } else if (c == U'\r') {
      out += "\\r";
    } else if (unicode::is_printable(c)) {
      unicode::append_utf8(out, c);
    } else if (c < 0x100) {
      append_hex(out, 'x', c, 2);
    } else if (c < 0x10000) {
      append_hex(out, 'u', c, 4);
    } else {
      append_hex(out, 'U', c, 8);
    }
  }
  out.push_back(quote);
  return out;
}

std::string literal(const boost::json::value& value) {
  std::string out;
  append_literal(out, value);
  return out;
}

std::string as_text(const boost::json::value& value) {
  if (value.is_string()) return std::string(value.get_string());
  return literal(value);
}

std::string float_repr(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]XX.
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string sci(buffer, result.ptr);
  bool negative = sci[0] == '-';
  if (negative) sci.erase(0, 1);
  auto e = sci.find('e');
  std::string digits = sci.substr(0, e);
  int exponent = std::stoi(sci.substr(e + 1));
  if (auto dot = digits.find('.'); dot != std::string::npos) digits.erase(dot, 1);
  std::string out = negative ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out += digits.substr(1);
    }
    char exp_text[16];
    std::snprintf(exp_text, sizeof exp_text, "e%c%02d", exponent < 0 ? '-' : '+',
                  exponent < 0 ? -exponent : exponent);
    out += exp_text;
    return out;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return out;
  }
  auto integer_digits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= integer_digits) {
    out += digits;
    out.append(integer_digits - digits.size(), '0');
    out += ".0";
  } else {
    out += digits.substr(0, integer_digits);
    out += '.';
    out += digits.substr(integer_digits);
  }
  return out;
}

std::string number_text(const boost::json::value& number) {
  switch (number.kind()) {
    case boost::json::kind::int64:
      return std::to_string(number.get_int64());
    case boost::json::kind::uint64:
      return std::to_string(number.get_uint64());
    case boost::json::kind::double_:
      return float_repr(number.get_double());
    default:
      throw std::invalid_argument("not a number");
  }
}

std::string fixed_one_decimal(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // glibc's printf is exact and rounds exact ties to even under the default rounding mode.
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, "%.1f", value);
  return buffer;
}

}  // namespace velko
