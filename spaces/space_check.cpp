#include "spaces/space_check.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/json_text.h"
#include "common/literal.h"

namespace velko::spaces {

namespace json = boost::json;

namespace {

// Longest value text that a message shows.
constexpr std::size_t kShownValueBytes = 60;
// Most member keys that a message lists.
constexpr std::size_t kListedKeys = 8;

// A value as a message shows it: a scalar in JSON, cut when long; a list or map by its size.
std::string shown(const json::value& value) {
  if (const json::array* list = value.if_array()) {
    return "a list of " + std::to_string(list->size()) + " elements";
  }
  if (const json::object* map = value.if_object()) {
    return "a map of " + std::to_string(map->size()) + " members";
  }
  std::string text = json_text::to_json(value);
  if (text.size() > kShownValueBytes) text = text.substr(0, kShownValueBytes) + "...";
  return text;
}

// "the space" or "the space at <path>", for slot path messages.
std::string space_at(const std::string& path) {
  return path.empty() ? "the space" : "the space at " + path;
}

// The value as an integer when it is a JSON integer in the int64 range (no doubles).
std::optional<std::int64_t> strict_integer(const json::value& value) {
  if (value.is_int64()) return value.get_int64();
  if (value.is_uint64() && value.get_uint64() <= static_cast<std::uint64_t>(INT64_MAX)) {
    return static_cast<std::int64_t>(value.get_uint64());
  }
  return std::nullopt;
}

std::optional<double> number(const json::value& value) {
  if (value.is_int64()) return static_cast<double>(value.get_int64());
  if (value.is_uint64()) return static_cast<double>(value.get_uint64());
  if (value.is_double()) return value.get_double();
  return std::nullopt;
}

std::string dtype_name(DType dtype) {
  switch (dtype) {
    case DType::kFloat32:
      return "float32";
    case DType::kFloat64:
      return "float64";
    case DType::kInt32:
      return "int32";
    case DType::kInt64:
      return "int64";
  }
  return "";
}

std::string keys_listing(const Space& dict) {
  std::string out;
  for (std::size_t i = 0; i < dict.keys.size() && i < kListedKeys; ++i) {
    if (!out.empty()) out += ", ";
    out += quoted(dict.keys[i]);
  }
  if (dict.keys.size() > kListedKeys) out += ", ...";
  return out.empty() ? "none" : out;
}

// A box's shape as messages show it: [2, 3].
std::string shape_text(const std::vector<std::size_t>& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + "]";
}

// Walks a value along its space, keeping the slot path of the current place.
class ValueWalk {
 public:
  // With `nulls`, a null where a number belongs is no problem: its path is added there.
  explicit ValueWalk(std::vector<std::string>* nulls = nullptr) : nulls_(nulls) {}

  std::optional<std::string> check(const Space& space, const json::value& value) {
    std::size_t size = path_.size();
    std::optional<std::string> problem;
    switch (space.kind) {
      case Space::Kind::kBox: {
        std::size_t flat = 0;
        problem = box(space, value, 0, flat);
        break;
      }
      case Space::Kind::kDiscrete:
        problem = integer_in(value, space.start, space.start + (space.n - 1), "the discrete space");
        break;
      case Space::Kind::kMultiDiscrete:
      case Space::Kind::kMultiBinary:
        problem = multi(space, value);
        break;
      case Space::Kind::kDict:
        problem = dict(space, value);
        break;
      case Space::Kind::kTuple:
        problem = tuple(space, value);
        break;
    }
    path_.resize(size);
    return problem;
  }

 private:
  std::string at() const { return path_.empty() ? "" : "at " + path_ + ": "; }

  std::optional<std::string> list_of(const json::value& value, std::size_t size,
                                     const std::string& what) {
    const json::array* list = value.if_array();
    if (!list) return at() + shown(value) + " is not a list (" + what + ")";
    if (list->size() != size) {
      return at() + "a list of " + std::to_string(list->size()) + " elements where " + what +
             " has " + std::to_string(size);
    }
    return std::nullopt;
  }

  std::optional<std::string> integer_in(const json::value& value, std::int64_t low,
                                        std::int64_t high, const std::string& what) {
    if (null_reading(value)) return std::nullopt;
    std::optional<std::int64_t> integer = strict_integer(value);
    if (!integer) return at() + shown(value) + " is not an integer (" + what + " takes integers)";
    if (*integer < low) {
      return at() + std::to_string(*integer) + " is below the lowest value " + std::to_string(low) +
             " of " + what;
    }
    if (*integer > high) {
      return at() + std::to_string(*integer) + " is above the highest value " +
             std::to_string(high) + " of " + what;
    }
    return std::nullopt;
  }

  std::optional<std::string> box(const Space& space, const json::value& value, std::size_t dim,
                                 std::size_t& flat) {
    if (dim < space.shape.size()) {
      std::string what = "the box of shape " + shape_text(space.shape);
      if (auto problem = list_of(value, space.shape[dim], what)) return problem;
      std::size_t size = path_.size();
      const json::array& list = value.get_array();
      for (std::size_t i = 0; i < list.size(); ++i) {
        append_slot_index(path_, static_cast<std::int64_t>(i));
        if (auto problem = box(space, list[i], dim + 1, flat)) return problem;
        path_.resize(size);
      }
      return std::nullopt;
    }
    std::size_t i = flat++;
    if (space.is_integer()) {
      auto [low, high] = admitted_integers(space, i);
      return integer_in(value, low, high, "the " + dtype_name(space.dtype) + " box");
    }
    if (null_reading(value)) return std::nullopt;
    std::optional<double> x = number(value);
    if (!x) return at() + shown(value) + " is not a number";
    if (*x < space.low_at(i)) {
      return at() + shown(value) + " is below the lower bound " + float_repr(space.low_at(i));
    }
    if (*x > space.high_at(i)) {
      return at() + shown(value) + " is above the upper bound " + float_repr(space.high_at(i));
    }
    return std::nullopt;
  }

  std::optional<std::string> multi(const Space& space, const json::value& value) {
    bool binary = space.kind == Space::Kind::kMultiBinary;
    std::string what = binary ? "the multi_binary space" : "the multi_discrete space";
    if (auto problem = list_of(value, space.variables, what)) return problem;
    std::size_t size = path_.size();
    const json::array& list = value.get_array();
    for (std::size_t i = 0; i < list.size(); ++i) {
      append_slot_index(path_, static_cast<std::int64_t>(i));
      std::int64_t n = binary ? 2 : space.nvec[i];
      if (auto problem = integer_in(list[i], 0, n - 1, what)) return problem;
      path_.resize(size);
    }
    return std::nullopt;
  }

  std::optional<std::string> dict(const Space& space, const json::value& value) {
    const json::object* map = value.if_object();
    if (!map) return at() + shown(value) + " is not a map (the dict space)";
    std::size_t size = path_.size();
    for (std::size_t i = 0; i < space.members.size(); ++i) {
      const json::value* member = map->if_contains(space.keys[i]);
      append_slot_key(path_, space.keys[i]);
      if (!member) return "at " + path_ + ": the member is missing";
      if (auto problem = check(space.members[i], *member)) return problem;
      path_.resize(size);
    }
    for (const auto& member : *map) {
      bool known = false;
      for (const std::string& key : space.keys) known = known || member.key() == key;
      if (!known) {
        return at() + "the member " + quoted(member.key()) + " is not one of the dict space's (" +
               keys_listing(space) + ")";
      }
    }
    return std::nullopt;
  }

  std::optional<std::string> tuple(const Space& space, const json::value& value) {
    if (auto problem = list_of(value, space.members.size(), "the tuple space")) return problem;
    std::size_t size = path_.size();
    const json::array& list = value.get_array();
    for (std::size_t i = 0; i < list.size(); ++i) {
      append_slot_index(path_, static_cast<std::int64_t>(i));
      if (auto problem = check(space.members[i], list[i])) return problem;
      path_.resize(size);
    }
    return std::nullopt;
  }

  // True for a null that is taken as a reading without a value (noted in `nulls_`).
  bool null_reading(const json::value& value) {
    if (!nulls_ || !value.is_null()) return false;
    nulls_->push_back(path_.empty() ? " " : path_);
    return true;
  }

  std::string path_;
  std::vector<std::string>* nulls_;
};

// A list position of a slot key, counted from the end when negative; none when it is a text
// or out of range for `size` elements. `problem` says why.
std::optional<std::size_t> position(const SlotKey& key, std::size_t size, const std::string& at,
                                    const std::string& what, std::string& problem) {
  if (key.is_text) {
    problem = space_at(at) + " is " + what + ", whose elements have list positions, not the key " +
              quoted(key.text);
    return std::nullopt;
  }
  auto count = static_cast<std::int64_t>(size);
  std::int64_t index = key.index < 0 ? key.index + count : key.index;
  if (index < 0 || index >= count) {
    problem = space_at(at) + " has no position " + std::to_string(key.index) + " (it has " +
              std::to_string(size) + (size == 1 ? " element)" : " elements)");
    return std::nullopt;
  }
  return static_cast<std::size_t>(index);
}

}  // namespace

std::optional<std::string> value_problem(const Space& space, const json::value& value) {
  ValueWalk walk;
  return walk.check(space, value);
}

std::optional<std::string> value_problem(const Space& space, const json::value& value,
                                         std::vector<std::string>& nulls) {
  ValueWalk walk(&nulls);
  return walk.check(space, value);
}

std::optional<std::string> slot_problem(const Space& space, const SlotKeys& keys) {
  const Space* at_space = &space;
  std::string at;
  std::size_t k = 0;
  std::string problem;
  auto past_number = [&]() -> std::optional<std::string> {
    if (k == keys.size()) return std::nullopt;
    return space_at(at) + " is one number; the rest of the path, " +
           slot_path_text(keys.data() + k, keys.size() - k) + ", leads nowhere";
  };
  while (true) {
    const Space& s = *at_space;
    switch (s.kind) {
      case Space::Kind::kDiscrete:
        return past_number();
      case Space::Kind::kMultiDiscrete:
      case Space::Kind::kMultiBinary: {
        std::string what =
            s.kind == Space::Kind::kMultiBinary ? "a multi_binary space" : "a multi_discrete space";
        if (k == keys.size()) {
          return space_at(at) + " is " + what + " of " + std::to_string(s.variables) +
                 " numbers, not one; add a list position";
        }
        if (!position(keys[k], s.variables, at, what, problem)) return problem;
        at += slot_path_text(&keys[k], 1);
        ++k;
        return past_number();
      }
      case Space::Kind::kBox: {
        for (std::size_t d = 0; d < s.shape.size(); ++d) {
          if (k == keys.size()) {
            return space_at(at) + " is a list of a box of shape " + shape_text(s.shape) +
                   ", not one number; add " + std::to_string(s.shape.size() - d) +
                   " more list position" + (s.shape.size() - d > 1 ? "s" : "");
          }
          if (!position(keys[k], s.shape[d], at, "a list of a box", problem)) return problem;
          at += slot_path_text(&keys[k], 1);
          ++k;
        }
        return past_number();
      }
      case Space::Kind::kDict: {
        if (k == keys.size()) {
          return space_at(at) + " is a dict, not one number; add one of its keys (" +
                 keys_listing(s) + ")";
        }
        const SlotKey& key = keys[k];
        if (!key.is_text) {
          return space_at(at) + " is a dict, whose members have keys (" + keys_listing(s) +
                 "), not the list position " + std::to_string(key.index);
        }
        std::size_t found = s.keys.size();
        for (std::size_t i = 0; i < s.keys.size() && found == s.keys.size(); ++i) {
          if (s.keys[i] == key.text) found = i;
        }
        if (found == s.keys.size()) {
          return space_at(at) + " has no key " + quoted(key.text) +
                 " (its keys: " + keys_listing(s) + ")";
        }
        at += slot_path_text(&key, 1);
        ++k;
        at_space = &s.members[found];
        break;
      }
      case Space::Kind::kTuple: {
        if (k == keys.size()) {
          return space_at(at) + " is a tuple of " + std::to_string(s.members.size()) +
                 " spaces, not one number; add a list position";
        }
        std::optional<std::size_t> i = position(keys[k], s.members.size(), at, "a tuple", problem);
        if (!i) return problem;
        at += slot_path_text(&keys[k], 1);
        ++k;
        at_space = &s.members[*i];
        break;
      }
    }
  }
}

}  // namespace velko::spaces
