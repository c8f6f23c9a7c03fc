#include "dev/platform_call.h"

#include "dev/http_service.h"

namespace velko::dev {

const std::string* Call::query_value(std::string_view name) const {
  for (const auto& [key, value] : query) {
    if (key == name) return &value;
  }
  return nullptr;
}

Call parse_target(std::string method, std::string_view target) {
  Call call;
  call.method = std::move(method);
  std::size_t mark = target.find('?');
  std::string_view path = target.substr(0, mark);
  if (path.empty() || path.front() != '/') {
    throw HttpRefusal(400, "The request path must start with '/'");
  }
  path.remove_prefix(1);
  while (true) {
    std::size_t slash = path.find('/');
    call.segments.push_back(percent_decode(path.substr(0, slash), false));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  if (mark == std::string_view::npos) return call;
  std::string_view query = target.substr(mark + 1);
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    if (!pair.empty()) {
      std::size_t eq = pair.find('=');
      std::string key = percent_decode(pair.substr(0, eq), true);
      std::string value =
          eq == std::string_view::npos ? std::string() : percent_decode(pair.substr(eq + 1), true);
      call.query.emplace_back(std::move(key), std::move(value));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return call;
}

}  // namespace velko::dev
