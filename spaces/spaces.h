// Spaces: the descriptions of a sim's observation and action values, their variables and
// slot paths, and random valid values of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/value.hpp>

namespace velko::spaces {

// Most variables (scalar elements) a space may have.
inline constexpr std::size_t kMaxSpaceVariables = 1'000'000;
// Most sub-spaces (every dict, tuple, box, ... counted once) a space may have.
inline constexpr std::size_t kMaxSubspaces = 1'000'000;
// Deepest nesting of lists and maps that a value of a space may have.
inline constexpr std::size_t kMaxSpaceDepth = 32;
// Longest dict key or variable name, in bytes.
inline constexpr std::size_t kMaxSpaceText = 4096;
// Most bytes of slot paths and names that convert_space_to_json writes for one space.
inline constexpr std::size_t kMaxMappingText = std::size_t{64} << 20;

// A space description that is not well formed; the message says what is wrong and where.
class SpaceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The element type of a box.
enum class DType { kFloat32, kFloat64, kInt32, kInt64 };

// A validated space description.
struct Space {
  enum class Kind { kBox, kDiscrete, kMultiDiscrete, kMultiBinary, kDict, kTuple };

  Kind kind = Kind::kBox;
  // Number of variables of this space and all its sub-spaces.
  std::size_t variables = 0;

  // Box: element type, shape (empty for a scalar) and bounds. `low` and `high` hold one
  // bound per element in row-major order, or a single bound for every element; an
  // unbounded side is -inf or +inf.
  DType dtype = DType::kFloat32;
  std::vector<std::size_t> shape;
  std::vector<double> low;
  std::vector<double> high;

  // Discrete: values start, start + 1, ..., start + n - 1. Multi-binary: n elements.
  std::int64_t n = 0;
  std::int64_t start = 0;
  // Multi-discrete: element i takes 0 .. nvec[i] - 1.
  std::vector<std::int64_t> nvec;

  // One name per variable in order; an empty text for an unnamed variable. Empty when no
  // variable is named. Dicts and tuples keep their names in their members.
  std::vector<std::string> names;

  // Dict and tuple: the members in order; `keys` holds the dict's keys (empty for a tuple).
  std::vector<Space> members;
  std::vector<std::string> keys;

  // Whether the values of this (non-compound) space are integers.
  bool is_integer() const;
  // The bounds of box element `i`.
  double low_at(std::size_t i) const { return low.size() == 1 ? low[0] : low[i]; }
  double high_at(std::size_t i) const { return high.size() == 1 ? high[0] : high[i]; }
};

// Reads and validates a space description. Throws SpaceError naming the fault and the
// place in the space where it was found.
Space parse_space(const boost::json::value& description);

// One mapping per variable of the space, in order: {"name": slot path} plus
// {"name_mapped": name} when the description names the variable.
boost::json::array convert_space_to_json(const Space& space);
boost::json::array convert_space_to_json(const boost::json::value& description);

// True when `value` is a value of the space.
bool contains(const Space& space, const boost::json::value& value);

// The integers that element `i` of an integer box admits, within the range of its dtype, as
// {lowest, highest}.
std::pair<std::int64_t, std::int64_t> admitted_integers(const Space& box, std::size_t i);

// A space that gives random valid values of itself.
class ComputeSpace {
 public:
  // Without a seed, the random source is seeded from std::random_device.
  explicit ComputeSpace(Space space, std::optional<std::uint64_t> seed = std::nullopt);

  // A random value of the space. Integer kinds give JSON integers; floats lie within their
  // bounds, an unbounded side drawn from a bounded normal around the finite side or 0.
  boost::json::value sample();
  bool contains(const boost::json::value& value) const;
  const Space& space() const { return space_; }

 private:
  boost::json::value sample(const Space& space);
  boost::json::value sample_box(const Space& space);
  // A double in [0, 1).
  double uniform01();
  // An integer in [low, high], every one equally likely.
  std::int64_t uniform_int(std::int64_t low, std::int64_t high);
  // A standard normal draw, redrawn until it lies within 4 of 0.
  double bounded_normal();

  Space space_;
  std::mt19937_64 random_;
};

}  // namespace velko::spaces
