// How the checks of `velko sim validate` word what they found: counts, values, lists of
// problems and times.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/json/value.hpp>

namespace velko::sim_commands {

// Seconds as messages show them: 300, 0.5.
std::string seconds_text(double seconds);

// Seconds from `started` until now.
double seconds_since(std::chrono::steady_clock::time_point started);

// "1 step", "2 steps".
std::string plural(std::int64_t n, const char* one, const char* many);

// A value as a message shows it: its JSON text, cut when long.
std::string shown(const boost::json::value& value);

// The parts that are not empty, joined with "; ".
std::string joined(const std::vector<std::string>& parts);

// The first problem of a kind and how many there were, as one text.
struct Tally {
  std::string first;
  std::int64_t count = 0;

  void add(std::string problem) {
    if (count++ == 0) first = std::move(problem);
  }
  // The first problem, followed by "(and N more)" with `one` or `many` when there were more.
  std::string text(const char* one, const char* many) const {
    if (count <= 1) return first;
    return first + " (and " + plural(count - 1, one, many) + " more)";
  }
};

}  // namespace velko::sim_commands
