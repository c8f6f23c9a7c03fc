#include "dev/node_request.h"

#include <boost/json/value.hpp>

#include "common/json_access.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "common/unicode.h"

namespace velko::dev {

boost::json::object request_object(std::string_view body) {
  if (body.empty()) throw NodeRefusal(422, "The request has no body; send a JSON object");
  boost::json::value value;
  try {
    value = json_text::parse(body, kMaxRequestDepth);
  } catch (const json_text::JsonError& error) {
    throw NodeRefusal(422, std::string("The request body is not valid JSON: ") + error.what());
  }
  if (!value.is_object()) {
    throw NodeRefusal(
        422, "The request body must be a JSON object, not " + json_access::kind_name(value));
  }
  return std::move(value.get_object());
}

std::string shown(std::string_view text) {
  constexpr std::size_t kMaxShownChars = 80;
  std::u32string chars = unicode::decode(text);
  if (chars.size() <= kMaxShownChars) return quoted(text);
  chars.resize(kMaxShownChars);
  return quoted(unicode::encode(chars) + "...");
}

void wrong_member(std::string_view where, std::string_view expected,
                  const boost::json::value* got) {
  std::string detail(where);
  if (!detail.empty() && detail[0] >= 'a' && detail[0] <= 'z') detail[0] -= 'a' - 'A';
  if (got) {
    // Numbers, flags and null are shown as they are; texts and containers by their kind.
    bool scalar = !got->is_string() && !got->is_array() && !got->is_object();
    detail += " must be " + std::string(expected) + ", not " +
              (scalar ? literal(*got) : json_access::kind_name(*got));
  } else {
    detail += " is missing; it must be " + std::string(expected);
  }
  throw NodeRefusal(422, detail);
}

}  // namespace velko::dev
