#include "spaces/spaces.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <utility>

#include <boost/json/object.hpp>

#include "common/json_access.h"
#include "spaces/slot_path.h"

namespace velko::spaces {

namespace json = boost::json;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// A bound at or beyond this magnitude stands for "unbounded".
constexpr double kUnboundedMagnitude = 1e300;
// 2^63: the first double beyond the int64 range.
constexpr double kTwo63 = 9223372036854775808.0;
// Samples of unbounded sides lie within this many standard deviations of their centre.
constexpr double kNormalLimit = 4.0;

// The value as an integer when it is one: a JSON integer, or a double with an integral
// value that a double holds exactly (senders that keep every number as a double).
std::optional<std::int64_t> integer_of(const json::value& value) {
  if (value.is_int64()) return value.get_int64();
  if (value.is_uint64()) {
    if (value.get_uint64() > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(value.get_uint64());
  }
  if (value.is_double()) {
    double number = value.get_double();
    if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) <= 0x1p53) {
      return static_cast<std::int64_t>(number);
    }
  }
  return std::nullopt;
}

// The value as a double when it is a number.
std::optional<double> number_of(const json::value& value) {
  switch (value.kind()) {
    case json::kind::int64:
      return static_cast<double>(value.get_int64());
    case json::kind::uint64:
      return static_cast<double>(value.get_uint64());
    case json::kind::double_:
      return value.get_double();
    default:
      return std::nullopt;
  }
}

// The value as an integer when it is a JSON integer (no doubles).
std::optional<std::int64_t> strict_integer_of(const json::value& value) {
  if (value.is_int64()) return value.get_int64();
  if (value.is_uint64() && value.get_uint64() <= static_cast<std::uint64_t>(INT64_MAX)) {
    return static_cast<std::int64_t>(value.get_uint64());
  }
  return std::nullopt;
}

// Appends the slot key of list position `index`.
void append_index(std::string& out, std::size_t index) {
  append_slot_index(out, static_cast<std::int64_t>(index));
}

// A shape as messages show it: [2, 3].
std::string shape_text(const std::vector<std::size_t>& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + "]";
}

// The slot path of element `flat` (row-major) of a box of this shape, from the box.
std::string element_path(const std::vector<std::size_t>& shape, std::size_t flat) {
  std::vector<std::size_t> index(shape.size());
  for (std::size_t d = shape.size(); d-- > 0;) {
    index[d] = flat % shape[d];
    flat /= shape[d];
  }
  std::string path;
  for (std::size_t position : index) append_index(path, position);
  return path;
}

// The smallest and largest integer of an integer dtype.
std::pair<std::int64_t, std::int64_t> dtype_range(DType dtype) {
  if (dtype == DType::kInt32) return {INT32_MIN, INT32_MAX};
  return {INT64_MIN, INT64_MAX};
}

// The integers that box element `i` admits, within the range of its dtype; false when
// there are none.
bool integer_bounds(const Space& space, std::size_t i, std::int64_t& low, std::int64_t& high) {
  auto [type_min, type_max] = dtype_range(space.dtype);
  double first = std::ceil(space.low_at(i));
  double last = std::floor(space.high_at(i));
  double beyond = space.dtype == DType::kInt32 ? static_cast<double>(type_max) + 1 : kTwo63;
  if (first >= beyond || last < static_cast<double>(type_min) || first > last) return false;
  low = first <= static_cast<double>(type_min) ? type_min : static_cast<std::int64_t>(first);
  high = last >= beyond ? type_max : static_cast<std::int64_t>(last);
  return true;
}

// Reads and checks one space description; keeps the counts that bound the whole space.
class Parser {
 public:
  Space parse(const json::value& description, std::string& path, std::size_t depth);

 private:
  // Throws SpaceError for the sub-space at slot path `path`.
  [[noreturn]] void fail(const std::string& path, const std::string& what) const;
  // Adds variables to the whole space's count, refusing it beyond kMaxSpaceVariables.
  void count_variables(const std::string& path, std::size_t count);
  // Refuses values nested `depth` levels deep beyond kMaxSpaceDepth.
  void check_depth(const std::string& path, std::size_t depth) const;
  // A member that is present and not null.
  const json::value* member(const json::object& object, std::string_view key) const;
  // A required integer member of at least `minimum`.
  std::int64_t integer(const json::object& object, std::string_view key, const std::string& path,
                       std::int64_t minimum) const;

  // The members of each kind of space; `depth` is the nesting of the space's value.
  void parse_box(const json::object& object, Space& space, const std::string& path,
                 std::size_t depth);
  void parse_multi_discrete(const json::object& object, Space& space, const std::string& path,
                            std::size_t depth);
  void parse_dict(const json::object& object, Space& space, std::string& path, std::size_t depth);
  void parse_tuple(const json::object& object, Space& space, std::string& path, std::size_t depth);

  // A box's "low" or "high": one bound for all elements or one per element.
  std::vector<double> parse_bounds(const json::object& object, std::string_view key,
                                   const Space& space, std::size_t count,
                                   const std::string& path) const;
  // Appends the bounds of nested lists of the box's shape from dimension `dim` on; `where`
  // names the list in messages ("low"[1]).
  void read_bound_list(const json::value& list, const std::vector<std::size_t>& shape,
                       std::size_t dim, std::string& where, std::vector<double>& out, bool is_low,
                       DType dtype, const std::string& path) const;
  // One bound, with an unbounded side as an infinity.
  double bound(const json::value& value, bool is_low, DType dtype, const std::string& where,
               const std::string& path) const;
  // The optional "names": one per variable, empty when none is named.
  std::vector<std::string> parse_names(const json::object& object, std::size_t count,
                                       const std::string& path) const;

  std::size_t variables_ = 0;
  std::size_t subspaces_ = 0;
};

void Parser::fail(const std::string& path, const std::string& what) const {
  if (path.empty()) throw SpaceError("Invalid space description: " + what);
  throw SpaceError("Invalid space description at " + path + ": " + what);
}

void Parser::count_variables(const std::string& path, std::size_t count) {
  if (count > kMaxSpaceVariables - variables_) {
    fail(path, "the space has more than " + std::to_string(kMaxSpaceVariables) + " variables");
  }
  variables_ += count;
}

void Parser::check_depth(const std::string& path, std::size_t depth) const {
  if (depth > kMaxSpaceDepth) {
    fail(path, "values nest deeper than " + std::to_string(kMaxSpaceDepth) + " levels");
  }
}

const json::value* Parser::member(const json::object& object, std::string_view key) const {
  const json::value* found = object.if_contains(key);
  return found && !found->is_null() ? found : nullptr;
}

std::int64_t Parser::integer(const json::object& object, std::string_view key,
                             const std::string& path, std::int64_t minimum) const {
  const json::value* value = member(object, key);
  if (!value) fail(path, "\"" + std::string(key) + "\" is missing");
  std::optional<std::int64_t> number = integer_of(*value);
  if (!number || *number < minimum) {
    fail(path,
         "\"" + std::string(key) + "\" must be an integer of at least " + std::to_string(minimum) +
             ", not " +
             (number ? std::to_string(*number) : std::string(json_access::kind_name(*value))));
  }
  return *number;
}

Space Parser::parse(const json::value& description, std::string& path, std::size_t depth) {
  if (++subspaces_ > kMaxSubspaces) {
    fail(path, "the space has more than " + std::to_string(kMaxSubspaces) + " sub-spaces");
  }
  const json::object* object = description.if_object();
  if (!object)
    fail(path, std::string("a space must be a map, not ") + json_access::kind_name(description));
  const json::value* type = member(*object, "type");
  if (!type) fail(path, "\"type\" is missing");
  if (!type->is_string()) {
    fail(path, std::string("\"type\" must be a text, not ") + json_access::kind_name(*type));
  }
  const json::string& name = type->get_string();

  Space space;
  std::size_t before = variables_;
  if (name == "box") {
    space.kind = Space::Kind::kBox;
    parse_box(*object, space, path, depth);
  } else if (name == "discrete") {
    space.kind = Space::Kind::kDiscrete;
    space.n = integer(*object, "n", path, 1);
    space.start = member(*object, "start") ? integer(*object, "start", path, INT64_MIN) : 0;
    if (space.start > INT64_MAX - (space.n - 1)) fail(path, "\"start\" + \"n\" is too large");
    count_variables(path, 1);
    if (const json::value* label = member(*object, "name")) {
      if (!label->is_string()) {
        fail(path, std::string("\"name\" must be a text, not ") + json_access::kind_name(*label));
      }
      if (label->get_string().size() > kMaxSpaceText) {
        fail(path, "\"name\" is longer than " + std::to_string(kMaxSpaceText) + " bytes");
      }
      if (!label->get_string().empty()) space.names.emplace_back(label->get_string());
    }
  } else if (name == "multi_discrete") {
    space.kind = Space::Kind::kMultiDiscrete;
    parse_multi_discrete(*object, space, path, depth);
  } else if (name == "multi_binary") {
    space.kind = Space::Kind::kMultiBinary;
    check_depth(path, depth + 1);
    space.n = integer(*object, "n", path, 0);
    count_variables(path, static_cast<std::size_t>(space.n));
    space.names = parse_names(*object, static_cast<std::size_t>(space.n), path);
  } else if (name == "dict") {
    space.kind = Space::Kind::kDict;
    parse_dict(*object, space, path, depth);
  } else if (name == "tuple") {
    space.kind = Space::Kind::kTuple;
    parse_tuple(*object, space, path, depth);
  } else {
    fail(path, "unknown space type '" + std::string(name) +
                   "' (known: box, discrete, multi_discrete, multi_binary, dict, tuple)");
  }
  space.variables = variables_ - before;
  return space;
}

void Parser::parse_box(const json::object& object, Space& space, const std::string& path,
                       std::size_t depth) {
  if (const json::value* dtype = member(object, "dtype")) {
    const json::string* text = dtype->if_string();
    if (text && *text == "float32") {
      space.dtype = DType::kFloat32;
    } else if (text && *text == "float64") {
      space.dtype = DType::kFloat64;
    } else if (text && *text == "int32") {
      space.dtype = DType::kInt32;
    } else if (text && *text == "int64") {
      space.dtype = DType::kInt64;
    } else {
      fail(path, "\"dtype\" must be one of 'float32', 'float64', 'int32', 'int64'");
    }
  }

  const json::value* shape = member(object, "shape");
  if (!shape) fail(path, "\"shape\" is missing");
  const json::array* dims = shape->if_array();
  if (!dims) {
    fail(path,
         std::string("\"shape\" must be a list of sizes, not ") + json_access::kind_name(*shape));
  }
  check_depth(path, depth + dims->size());
  std::size_t count = 1;
  bool empty = false;
  for (const json::value& dim : *dims) {
    std::optional<std::int64_t> size = integer_of(dim);
    if (!size || *size < 0) fail(path, "\"shape\" must hold sizes: integers of at least 0");
    if (static_cast<std::uint64_t>(*size) > kMaxSpaceVariables) {
      fail(path, "\"shape\" has a size beyond " + std::to_string(kMaxSpaceVariables));
    }
    space.shape.push_back(static_cast<std::size_t>(*size));
    if (*size == 0) empty = true;
    // Both factors are at most kMaxSpaceVariables, so the product cannot overflow.
    count *= static_cast<std::size_t>(*size);
    if (count > kMaxSpaceVariables) count = kMaxSpaceVariables + 1;
  }
  if (empty) count = 0;
  count_variables(path, count);

  space.low = parse_bounds(object, "low", space, count, path);
  space.high = parse_bounds(object, "high", space, count, path);
  for (std::size_t i = 0; i < count; ++i) {
    std::int64_t first = 0;
    std::int64_t last = 0;
    if (space.low_at(i) > space.high_at(i)) {
      fail(path + element_path(space.shape, i), "\"low\" is greater than \"high\"");
    }
    if (space.is_integer() && !integer_bounds(space, i, first, last)) {
      fail(path + element_path(space.shape, i),
           "no integer of the box's dtype lies between \"low\" and \"high\"");
    }
    if (space.low.size() == 1 && space.high.size() == 1) break;  // the same for every element
  }
  space.names = parse_names(object, count, path);
}

std::vector<double> Parser::parse_bounds(const json::object& object, std::string_view key,
                                         const Space& space, std::size_t count,
                                         const std::string& path) const {
  bool is_low = key == "low";
  std::string where = "\"" + std::string(key) + "\"";
  const json::value* value = member(object, key);
  if (!value) return {is_low ? -kInf : kInf};
  if (!value->is_array()) return {bound(*value, is_low, space.dtype, where, path)};
  if (space.shape.empty()) {
    fail(path, where + " must be a number for a box of shape []");
  }
  std::vector<double> bounds;
  bounds.reserve(count);
  read_bound_list(*value, space.shape, 0, where, bounds, is_low, space.dtype, path);
  return bounds;
}

void Parser::read_bound_list(const json::value& list, const std::vector<std::size_t>& shape,
                             std::size_t dim, std::string& where, std::vector<double>& out,
                             bool is_low, DType dtype, const std::string& path) const {
  const json::array* items = list.if_array();
  if (!items || items->size() != shape[dim]) {
    fail(path, where + " must be a number or nested lists of shape " + shape_text(shape) + "; " +
                   (items ? "it has " + std::to_string(items->size()) + " elements where " +
                                std::to_string(shape[dim]) + " belong"
                          : std::string("it is ") + json_access::kind_name(list)));
  }
  std::size_t size = where.size();
  for (std::size_t i = 0; i < items->size(); ++i) {
    append_index(where, i);
    if (dim + 1 < shape.size()) {
      read_bound_list((*items)[i], shape, dim + 1, where, out, is_low, dtype, path);
    } else {
      out.push_back(bound((*items)[i], is_low, dtype, where, path));
    }
    where.resize(size);
  }
}

double Parser::bound(const json::value& value, bool is_low, DType dtype, const std::string& where,
                     const std::string& path) const {
  if (value.is_null()) return is_low ? -kInf : kInf;
  std::optional<double> number = number_of(value);
  if (!number) {
    fail(path, where + " must be a number or null, not " + json_access::kind_name(value));
  }
  double x = *number;
  if (std::isnan(x)) fail(path, where + " is not a number (NaN)");
  double unbounded = dtype == DType::kFloat32 ? FLT_MAX : kUnboundedMagnitude;
  if (is_low) {
    if (x == kInf) fail(path, where + " is +infinity: no value lies above it");
    return x <= -unbounded ? -kInf : x;
  }
  if (x == -kInf) fail(path, where + " is -infinity: no value lies below it");
  return x >= unbounded ? kInf : x;
}

std::vector<std::string> Parser::parse_names(const json::object& object, std::size_t count,
                                             const std::string& path) const {
  const json::value* value = member(object, "names");
  if (!value) return {};
  const json::array* list = value->if_array();
  if (!list)
    fail(path, std::string("\"names\" must be a list, not ") + json_access::kind_name(*value));
  if (list->size() != count) {
    fail(path, "\"names\" has " + std::to_string(list->size()) + " names where the space has " +
                   std::to_string(count) + " variables");
  }
  std::vector<std::string> names;
  bool any = false;
  names.reserve(count);
  for (std::size_t i = 0; i < list->size(); ++i) {
    const json::value& name = (*list)[i];
    if (name.is_null()) {
      names.emplace_back();
      continue;
    }
    if (!name.is_string()) {
      fail(path, "\"names\"[" + std::to_string(i) + "] must be a text or null, not " +
                     json_access::kind_name(name));
    }
    if (name.get_string().size() > kMaxSpaceText) {
      fail(path, "\"names\"[" + std::to_string(i) + "] is longer than " +
                     std::to_string(kMaxSpaceText) + " bytes");
    }
    any = any || !name.get_string().empty();
    names.emplace_back(name.get_string());
  }
  if (!any) names.clear();
  return names;
}

void Parser::parse_multi_discrete(const json::object& object, Space& space, const std::string& path,
                                  std::size_t depth) {
  check_depth(path, depth + 1);
  const json::value* value = member(object, "nvec");
  if (!value) fail(path, "\"nvec\" is missing");
  const json::array* list = value->if_array();
  if (!list)
    fail(path, std::string("\"nvec\" must be a list, not ") + json_access::kind_name(*value));
  count_variables(path, list->size());
  space.nvec.reserve(list->size());
  for (std::size_t i = 0; i < list->size(); ++i) {
    std::optional<std::int64_t> n = integer_of((*list)[i]);
    if (!n || *n < 1) {
      fail(path, "\"nvec\"[" + std::to_string(i) + "] must be an integer of at least 1");
    }
    space.nvec.push_back(*n);
  }
  space.names = parse_names(object, list->size(), path);
}

void Parser::parse_dict(const json::object& object, Space& space, std::string& path,
                        std::size_t depth) {
  check_depth(path, depth + 1);
  const json::value* value = member(object, "spaces");
  if (!value) fail(path, "\"spaces\" is missing");
  const json::object* spaces = value->if_object();
  if (!spaces) {
    fail(path,
         std::string("\"spaces\" of a dict must be a map, not ") + json_access::kind_name(*value));
  }
  space.members.reserve(spaces->size());
  space.keys.reserve(spaces->size());
  std::size_t size = path.size();
  for (const auto& entry : *spaces) {
    if (entry.key().size() > kMaxSpaceText) {
      fail(path, "a key of \"spaces\" is longer than " + std::to_string(kMaxSpaceText) + " bytes");
    }
    append_slot_key(path, entry.key());
    space.members.push_back(parse(entry.value(), path, depth + 1));
    space.keys.emplace_back(entry.key());
    path.resize(size);
  }
}

void Parser::parse_tuple(const json::object& object, Space& space, std::string& path,
                         std::size_t depth) {
  check_depth(path, depth + 1);
  const json::value* value = member(object, "spaces");
  if (!value) fail(path, "\"spaces\" is missing");
  const json::array* spaces = value->if_array();
  if (!spaces) {
    fail(path, std::string("\"spaces\" of a tuple must be a list, not ") +
                   json_access::kind_name(*value));
  }
  space.members.reserve(spaces->size());
  std::size_t size = path.size();
  for (std::size_t i = 0; i < spaces->size(); ++i) {
    append_index(path, i);
    space.members.push_back(parse((*spaces)[i], path, depth + 1));
    path.resize(size);
  }
}

// Writes the mappings of a space's variables, keeping the slot path of the current place.
class MappingWriter {
 public:
  explicit MappingWriter(std::size_t variables) { out_.reserve(variables); }

  void walk(const Space& space) {
    std::size_t size = path_.size();
    switch (space.kind) {
      case Space::Kind::kDiscrete:
        add(space, 0);
        break;
      case Space::Kind::kBox:
        walk_box(space);
        break;
      case Space::Kind::kMultiDiscrete:
      case Space::Kind::kMultiBinary:
        for (std::size_t i = 0; i < space.variables; ++i) {
          append_index(path_, i);
          add(space, i);
          path_.resize(size);
        }
        break;
      case Space::Kind::kDict:
        for (std::size_t i = 0; i < space.members.size(); ++i) {
          append_slot_key(path_, space.keys[i]);
          walk(space.members[i]);
          path_.resize(size);
        }
        break;
      case Space::Kind::kTuple:
        for (std::size_t i = 0; i < space.members.size(); ++i) {
          append_index(path_, i);
          walk(space.members[i]);
          path_.resize(size);
        }
        break;
    }
  }

  json::array take() { return std::move(out_); }

 private:
  void walk_box(const Space& space) {
    if (space.variables == 0) return;
    std::size_t size = path_.size();
    std::vector<std::size_t> index(space.shape.size(), 0);
    for (std::size_t i = 0; i < space.variables; ++i) {
      for (std::size_t position : index) append_index(path_, position);
      add(space, i);
      path_.resize(size);
      for (std::size_t d = index.size(); d-- > 0;) {
        if (++index[d] < space.shape[d]) break;
        index[d] = 0;
      }
    }
  }

  void add(const Space& space, std::size_t i) {
    const std::string* name = space.names.empty() ? nullptr : &space.names[i];
    if (name && name->empty()) name = nullptr;
    bytes_ += path_.size() + (name ? name->size() : 0);
    if (bytes_ > kMaxMappingText) {
      throw SpaceError("Invalid space description: its slot paths and names take more than " +
                       std::to_string(kMaxMappingText >> 20) + " MiB");
    }
    json::object mapping;
    mapping.reserve(name ? 2 : 1);
    mapping.emplace("name", path_);
    if (name) mapping.emplace("name_mapped", *name);
    out_.emplace_back(std::move(mapping));
  }

  json::array out_;
  std::string path_;
  std::size_t bytes_ = 0;
};

// Whether `value` fits box element `i`.
bool box_element_contains(const Space& space, std::size_t i, const json::value& value) {
  if (space.is_integer()) {
    std::optional<std::int64_t> number = strict_integer_of(value);
    std::int64_t low = 0;
    std::int64_t high = 0;
    return number && integer_bounds(space, i, low, high) && low <= *number && *number <= high;
  }
  std::optional<double> number = number_of(value);
  return number && *number >= space.low_at(i) && *number <= space.high_at(i);
}

// Whether `value` is nested lists of the box's shape from dimension `dim` on, with elements
// that fit; `flat` counts the elements seen.
bool box_contains(const Space& space, const json::value& value, std::size_t dim,
                  std::size_t& flat) {
  if (dim == space.shape.size()) return box_element_contains(space, flat++, value);
  const json::array* items = value.if_array();
  if (!items || items->size() != space.shape[dim]) return false;
  for (const json::value& item : *items) {
    if (!box_contains(space, item, dim + 1, flat)) return false;
  }
  return true;
}

}  // namespace

bool Space::is_integer() const {
  return kind != Kind::kBox || dtype == DType::kInt32 || dtype == DType::kInt64;
}

Space parse_space(const json::value& description) {
  Parser parser;
  std::string path;
  return parser.parse(description, path, 0);
}

json::array convert_space_to_json(const Space& space) {
  MappingWriter writer(space.variables);
  writer.walk(space);
  return writer.take();
}

json::array convert_space_to_json(const json::value& description) {
  return convert_space_to_json(parse_space(description));
}

bool contains(const Space& space, const json::value& value) {
  switch (space.kind) {
    case Space::Kind::kBox: {
      std::size_t flat = 0;
      return box_contains(space, value, 0, flat);
    }
    case Space::Kind::kDiscrete: {
      std::optional<std::int64_t> number = strict_integer_of(value);
      return number && *number >= space.start &&
             static_cast<std::uint64_t>(*number) - static_cast<std::uint64_t>(space.start) <
                 static_cast<std::uint64_t>(space.n);
    }
    case Space::Kind::kMultiDiscrete:
    case Space::Kind::kMultiBinary: {
      const json::array* items = value.if_array();
      if (!items || items->size() != space.variables) return false;
      for (std::size_t i = 0; i < items->size(); ++i) {
        std::optional<std::int64_t> number = strict_integer_of((*items)[i]);
        std::int64_t n = space.kind == Space::Kind::kMultiBinary ? 2 : space.nvec[i];
        if (!number || *number < 0 || *number >= n) return false;
      }
      return true;
    }
    case Space::Kind::kDict: {
      const json::object* object = value.if_object();
      if (!object || object->size() != space.members.size()) return false;
      for (std::size_t i = 0; i < space.members.size(); ++i) {
        const json::value* member = object->if_contains(space.keys[i]);
        if (!member || !contains(space.members[i], *member)) return false;
      }
      return true;
    }
    case Space::Kind::kTuple: {
      const json::array* items = value.if_array();
      if (!items || items->size() != space.members.size()) return false;
      for (std::size_t i = 0; i < items->size(); ++i) {
        if (!contains(space.members[i], (*items)[i])) return false;
      }
      return true;
    }
  }
  return false;
}

std::pair<std::int64_t, std::int64_t> admitted_integers(const Space& box, std::size_t i) {
  std::int64_t low = 0;
  std::int64_t high = 0;
  integer_bounds(box, i, low, high);  // checked when the space was read
  return {low, high};
}

ComputeSpace::ComputeSpace(Space space, std::optional<std::uint64_t> seed)
    : space_(std::move(space)) {
  if (seed) {
    random_.seed(*seed);
  } else {
    std::random_device device;
    random_.seed((static_cast<std::uint64_t>(device()) << 32) ^ device());
  }
}

json::value ComputeSpace::sample() { return sample(space_); }

bool ComputeSpace::contains(const json::value& value) const {
  return spaces::contains(space_, value);
}

double ComputeSpace::uniform01() { return static_cast<double>(random_() >> 11) * 0x1p-53; }

std::int64_t ComputeSpace::uniform_int(std::int64_t low, std::int64_t high) {
  std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
  if (span == UINT64_MAX) return static_cast<std::int64_t>(random_());
  std::uint64_t range = span + 1;
  std::uint64_t threshold = (0 - range) % range;  // rejects the biased low draws
  std::uint64_t draw = 0;
  do {
    draw = random_();
  } while (draw < threshold);
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(low) + draw % range);
}

double ComputeSpace::bounded_normal() {
  constexpr double kTwoPi = 6.283185307179586;
  while (true) {
    double u1 = 1.0 - uniform01();  // in (0, 1]
    double u2 = uniform01();
    double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
    if (std::fabs(z) <= kNormalLimit) return z;
  }
}

json::value ComputeSpace::sample(const Space& space) {
  switch (space.kind) {
    case Space::Kind::kBox:
      return sample_box(space);
    case Space::Kind::kDiscrete:
      return uniform_int(space.start, space.start + (space.n - 1));
    case Space::Kind::kMultiDiscrete:
    case Space::Kind::kMultiBinary: {
      json::array items;
      items.reserve(space.variables);
      for (std::size_t i = 0; i < space.variables; ++i) {
        std::int64_t n = space.kind == Space::Kind::kMultiBinary ? 2 : space.nvec[i];
        items.emplace_back(uniform_int(0, n - 1));
      }
      return items;
    }
    case Space::Kind::kDict: {
      json::object object;
      object.reserve(space.members.size());
      for (std::size_t i = 0; i < space.members.size(); ++i) {
        object.emplace(space.keys[i], sample(space.members[i]));
      }
      return object;
    }
    case Space::Kind::kTuple: {
      json::array items;
      items.reserve(space.members.size());
      for (const Space& member : space.members) items.push_back(sample(member));
      return items;
    }
  }
  return nullptr;
}

json::value ComputeSpace::sample_box(const Space& space) {
  auto element = [&](std::size_t i) -> json::value {
    double low = space.low_at(i);
    double high = space.high_at(i);
    bool has_low = std::isfinite(low);
    bool has_high = std::isfinite(high);
    if (space.is_integer()) {
      std::int64_t first = 0;
      std::int64_t last = 0;
      integer_bounds(space, i, first, last);  // checked when the space was read
      if (has_low && has_high) return uniform_int(first, last);
      auto step = static_cast<std::uint64_t>(std::llround(std::fabs(bounded_normal())));
      std::uint64_t room = static_cast<std::uint64_t>(last) - static_cast<std::uint64_t>(first);
      step = std::min(step, room);
      if (has_low) return static_cast<std::int64_t>(static_cast<std::uint64_t>(first) + step);
      if (has_high) return static_cast<std::int64_t>(static_cast<std::uint64_t>(last) - step);
      auto centre = static_cast<std::int64_t>(std::llround(bounded_normal()));
      return std::clamp(centre, first, last);
    }
    if (has_low && has_high) {
      double x = low + uniform01() * (high - low);
      return std::clamp(x, low, high);
    }
    if (has_low) return low + std::fabs(bounded_normal());
    if (has_high) return high - std::fabs(bounded_normal());
    return bounded_normal();
  };

  if (space.shape.empty()) return element(0);
  std::size_t flat = 0;
  auto build = [&](auto& self, std::size_t dim) -> json::value {
    json::array items;
    items.reserve(space.shape[dim]);
    for (std::size_t i = 0; i < space.shape[dim]; ++i) {
      if (dim + 1 == space.shape.size()) {
        items.push_back(element(flat++));
      } else {
        items.push_back(self(self, dim + 1));
      }
    }
    return items;
  };
  return build(build, 0);
}

}  // namespace velko::spaces
