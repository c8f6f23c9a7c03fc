#include "tests/fuzz/fuzz_support.h"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace velko::fuzz {

void fail(std::string_view what) {
  std::fprintf(stderr, "property failed: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

bool same(const boost::json::value& a, const boost::json::value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case boost::json::kind::null:
      return true;
    case boost::json::kind::bool_:
      return a.get_bool() == b.get_bool();
    case boost::json::kind::int64:
      return a.get_int64() == b.get_int64();
    case boost::json::kind::uint64:
      return a.get_uint64() == b.get_uint64();
    case boost::json::kind::double_:
      return std::bit_cast<std::uint64_t>(a.get_double()) ==
             std::bit_cast<std::uint64_t>(b.get_double());
    case boost::json::kind::string:
      return a.get_string() == b.get_string();
    case boost::json::kind::array: {
      const auto& x = a.get_array();
      const auto& y = b.get_array();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same(x[i], y[i])) return false;
      }
      return true;
    }
    case boost::json::kind::object: {
      const auto& x = a.get_object();
      const auto& y = b.get_object();
      if (x.size() != y.size()) return false;
      auto j = y.begin();
      for (const auto& member : x) {
        if (member.key() != j->key() || !same(member.value(), j->value())) return false;
        ++j;
      }
      return true;
    }
  }
  return false;
}

}  // namespace velko::fuzz
