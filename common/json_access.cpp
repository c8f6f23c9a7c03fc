#include "common/json_access.h"

#include "common/errors.h"
#include "common/literal.h"

namespace velko::json_access {

namespace {

// A value cut short for a message.
std::string shown(const boost::json::value& value) {
  std::string text = literal(value);
  if (text.size() > 80) text = text.substr(0, 77) + "...";
  return text;
}

}  // namespace

const boost::json::object& as_map(const boost::json::value& value, std::string_view what) {
  if (!value.is_object()) {
    throw BadAnswer(std::string(what) + " is not a map (got " + kind_name(value) + ")");
  }
  return value.get_object();
}

const boost::json::value& at(const boost::json::value& map, std::string_view key,
                             std::string_view what) {
  const boost::json::value* value = as_map(map, what).if_contains(key);
  if (!value) throw KeyError(std::string(key), std::string(what));
  return *value;
}

const boost::json::value* find(const boost::json::value& map, std::string_view key,
                               std::string_view what) {
  return as_map(map, what).if_contains(key);
}

bool is_none(const boost::json::value* value) { return !value || value->is_null(); }

std::string kind_name(const boost::json::value& value) {
  switch (value.kind()) {
    case boost::json::kind::null:
      return "null";
    case boost::json::kind::bool_:
      return "a boolean";
    case boost::json::kind::int64:
    case boost::json::kind::uint64:
    case boost::json::kind::double_:
      return "a number";
    case boost::json::kind::string:
      return "a text";
    case boost::json::kind::array:
      return "a list";
    case boost::json::kind::object:
      return "a map";
  }
  return "a value";
}

void wrong_type(std::string_view what, std::string_view key, std::string_view expected,
                const boost::json::value& got) {
  throw BadAnswer(std::string(what) + " has \"" + std::string(key) +
                  "\" of the wrong type (expected " + std::string(expected) + ", got " +
                  shown(got) + ")");
}

}  // namespace velko::json_access
