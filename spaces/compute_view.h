// The compute side's view of a sim's values: plain JSON-like copies that the caller owns.
#pragma once

#include <cstddef>

#include <boost/json/value.hpp>

namespace velko::spaces {

// Deepest nesting of lists and maps that as_compute_sees copies.
inline constexpr std::size_t kMaxViewDepth = 256;

// A deep copy of an action or observation as the compute side sees it: lists, maps (member
// order kept), texts, booleans and null as they are; integers stay integers (unsigned ones
// that fit become signed); doubles stay doubles, non-finite ones included. The copy shares
// nothing with `value`. Throws velko::BadAnswer for a value nested deeper than kMaxViewDepth.
boost::json::value as_compute_sees(const boost::json::value& value);

// Makes `value` what as_compute_sees(value) gives, in place, without copying it (it keeps its
// storage). Throws velko::BadAnswer, with `value` partly converted, for a value nested deeper
// than kMaxViewDepth.
void to_compute_view(boost::json::value& value);

}  // namespace velko::spaces
