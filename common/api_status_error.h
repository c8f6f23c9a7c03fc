// The platform client's refusal: an answer with a status outside 200-299.
#pragma once

#include <stdexcept>
#include <string>

namespace velko {

class APIStatusError : public std::runtime_error {
 public:
  // `detail` is the answer's text for the user (or its raw body when it has none).
  APIStatusError(long status, std::string detail)
      : std::runtime_error(detail.empty()
                               ? "the platform answered with status " + std::to_string(status)
                               : detail),
        status_(status),
        detail_(std::move(detail)) {}
  long status() const { return status_; }
  const std::string& detail() const { return detail_; }

 private:
  long status_;
  std::string detail_;
};

}  // namespace velko
