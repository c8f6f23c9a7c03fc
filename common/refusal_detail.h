// What a server's refusal says to the user: the "detail" of an error answer.
#pragma once

#include <string>
#include <string_view>

namespace velko {

// Which "detail" members count.
enum class DetailKinds {
  // Any JSON value: a text as it stands, another value in its literal form (the compute node).
  kAny,
  // A text only; another value counts as none (the platform's contract).
  kTextOnly,
};

// The refusal's text for the user: the "detail" member of a JSON object body, else the raw
// body (a body that is not JSON, not an object, or has no "detail" that counts).
std::string refusal_detail(std::string_view body, DetailKinds kinds);

}  // namespace velko
