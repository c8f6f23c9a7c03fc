#include "common/refusal_detail.h"

#include <boost/json/value.hpp>

#include "common/json_text.h"
#include "common/literal.h"

namespace velko {

std::string refusal_detail(std::string_view body, DetailKinds kinds) {
  boost::json::value answer;
  try {
    answer = json_text::parse(body);
  } catch (const json_text::JsonError&) {
    return std::string(body);
  }
  if (const auto* object = answer.if_object()) {
    if (const auto* detail = object->if_contains("detail")) {
      if (detail->is_string()) return std::string(detail->get_string());
      if (kinds == DetailKinds::kAny) return as_text(*detail);
    }
  }
  return std::string(body);
}

}  // namespace velko
