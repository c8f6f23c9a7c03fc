#include "spaces/compute_view.h"

#include <cstdint>
#include <string>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/errors.h"

namespace velko::spaces {

namespace json = boost::json;

namespace {

[[noreturn]] void too_deep() {
  throw BadAnswer("the sim's value nests deeper than " + std::to_string(kMaxViewDepth) + " levels");
}

// The copy of a value found `depth` levels deep.
json::value copy(const json::value& value, std::size_t depth) {
  switch (value.kind()) {
    case json::kind::array: {
      if (depth >= kMaxViewDepth) break;
      const json::array& items = value.get_array();
      // A list of plain numbers (most observations) is copied as it is, in one go.
      bool plain = true;
      for (const json::value& item : items) {
        if (!item.is_double() && !item.is_int64()) {
          plain = false;
          break;
        }
      }
      if (plain) return json::array(items, json::storage_ptr());
      json::array out;
      out.reserve(items.size());
      for (const json::value& item : items) out.push_back(copy(item, depth + 1));
      return out;
    }
    case json::kind::object: {
      if (depth >= kMaxViewDepth) break;
      const json::object& members = value.get_object();
      json::object out;
      out.reserve(members.size());
      for (const auto& member : members) {
        out.emplace(member.key(), copy(member.value(), depth + 1));
      }
      return out;
    }
    case json::kind::uint64:
      if (value.get_uint64() <= static_cast<std::uint64_t>(INT64_MAX)) {
        return static_cast<std::int64_t>(value.get_uint64());
      }
      return value.get_uint64();
    default:
      return json::value(value, json::storage_ptr());  // a scalar or a text, in our storage
  }
  too_deep();
}

// Converts the value found `depth` levels deep in place.
void convert(json::value& value, std::size_t depth) {
  switch (value.kind()) {
    case json::kind::array:
      if (depth >= kMaxViewDepth) too_deep();
      for (json::value& item : value.get_array()) {
        if (item.is_structured() || item.is_uint64()) convert(item, depth + 1);
      }
      return;
    case json::kind::object:
      if (depth >= kMaxViewDepth) too_deep();
      for (auto& member : value.get_object()) convert(member.value(), depth + 1);
      return;
    case json::kind::uint64:
      if (value.get_uint64() <= static_cast<std::uint64_t>(INT64_MAX)) {
        value = static_cast<std::int64_t>(value.get_uint64());
      }
      return;
    default:
      return;
  }
}

}  // namespace

json::value as_compute_sees(const json::value& value) { return copy(value, 0); }

void to_compute_view(json::value& value) { convert(value, 0); }

}  // namespace velko::spaces
