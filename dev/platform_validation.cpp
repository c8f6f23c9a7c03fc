#include "dev/platform_validation.h"

#include <algorithm>

#include <fmt/format.h>

#include "common/json_text.h"
#include "common/unicode.h"
#include "dev/http_service.h"

namespace velko::dev {

namespace json = boost::json;

namespace {

constexpr std::string_view kGuidanceTypes[] = {"goal", "constraint", "successCriteria", "reward"};

}  // namespace

std::size_t char_count(std::string_view text) { return unicode::decode(text).size(); }

json::object parse_object(const std::string& body) {
  if (body.empty()) throw HttpRefusal(400, "The request has no body; send a JSON object");
  json::value value;
  try {
    value = json_text::parse(body);
  } catch (const json_text::JsonError& error) {
    throw HttpRefusal(400, std::string("The request body is not valid JSON: ") + error.what());
  }
  if (!value.is_object()) throw HttpRefusal(422, "The request body must be a JSON object");
  return std::move(value.get_object());
}

std::string required_text(const json::object& body, const char* key, std::size_t max_chars) {
  const json::value* value = body.if_contains(key);
  if (!value || !value->is_string()) {
    throw HttpRefusal(422, fmt::format("\"{}\" must be a text", key));
  }
  std::string text(value->get_string());
  if (unicode::trim(text).empty()) {
    throw HttpRefusal(422, fmt::format("\"{}\" must not be empty", key));
  }
  if (char_count(text) > max_chars) {
    throw HttpRefusal(422, fmt::format("\"{}\" must have at most {} characters", key, max_chars));
  }
  return text;
}

bool is_sha256_hex(std::string_view text) {
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](char c) { return is_hex_digit(c); });
}

std::string checked_type(const json::value* value, const char* where) {
  if (value && value->is_string()) {
    for (std::string_view type : kGuidanceTypes) {
      if (value->get_string() == type) return std::string(type);
    }
  }
  throw HttpRefusal(
      422, fmt::format("{} must be one of goal, constraint, successCriteria, reward", where));
}

json::value checked_conditions(const json::object& body) {
  const json::value* value = body.if_contains("conditions");
  if (!value || value->is_null()) return nullptr;
  if (!value->is_object() && !value->is_array()) {
    throw HttpRefusal(422, "\"conditions\" must be null, an object or a list");
  }
  return *value;
}

json::value checked_data_url(const json::object& body) {
  const json::value* value = body.if_contains("dataUrl");
  if (!value || value->is_null()) return nullptr;
  if (!value->is_string() || value->get_string().size() > kMaxDataUrlBytes) {
    throw HttpRefusal(422, fmt::format("\"dataUrl\" must be null or a text of at most {} bytes",
                                       kMaxDataUrlBytes));
  }
  return *value;
}

void check_analysis(const json::object& body) {
  const json::value* artifact = body.if_contains("simulatorValidation");
  if (!artifact || !artifact->is_object()) {
    throw HttpRefusal(422,
                      "\"simulatorValidation\" must be an object (the simulator validation "
                      "artifact), or send {\"failure\": \"<reason>\"} to close the job");
  }
  const json::value* dataset = body.if_contains("dataset");
  if (!dataset || !dataset->is_object()) {
    throw HttpRefusal(422,
                      "\"dataset\" must be an object with \"contentMd5\" and \"contentSha256\"");
  }
  required_text(dataset->get_object(), "contentMd5", kMaxNameChars);
  required_text(dataset->get_object(), "contentSha256", kMaxNameChars);
  const json::value* warnings = body.if_contains("warnings");
  if (!warnings || warnings->is_null()) return;
  if (!warnings->is_array()) throw HttpRefusal(422, "\"warnings\" must be a list of texts");
  if (warnings->get_array().size() > kMaxWarnings) {
    throw HttpRefusal(422, fmt::format("At most {} warnings can be submitted, not {}", kMaxWarnings,
                                       warnings->get_array().size()));
  }
  for (const json::value& warning : warnings->get_array()) {
    if (!warning.is_string()) throw HttpRefusal(422, "\"warnings\" must be a list of texts");
    if (char_count(warning.get_string()) > kMaxReasonChars) {
      throw HttpRefusal(422, fmt::format("A warning has more than {} characters", kMaxReasonChars));
    }
  }
}

}  // namespace velko::dev
