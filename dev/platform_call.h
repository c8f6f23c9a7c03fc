// A request to the stand-in platform as its route handlers see it (the decoded path segments,
// the query and the body) and the JSON answer that a handler gives.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/value.hpp>

namespace velko::dev {

// A request as the handlers see it: the decoded path segments, the query and the body.
struct Call {
  std::string method;
  std::vector<std::string> segments;
  std::vector<std::pair<std::string, std::string>> query;
  std::string body;

  // The first value of a query parameter, if given.
  const std::string* query_value(std::string_view name) const;
};

// A handler's JSON answer.
struct Reply {
  int status = 200;
  boost::json::value body;
};

// Splits a request target ("/a/b?x=1") into decoded segments and query parameters ('+' is a
// blank in the query). Throws HttpRefusal 400 for a path that does not start with '/' and for
// escapes that are broken or not UTF-8.
Call parse_target(std::string method, std::string_view target);

}  // namespace velko::dev
