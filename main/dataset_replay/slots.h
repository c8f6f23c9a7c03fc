// Slot paths into a sim's observations and actions: [0], ['a'][1].
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/value.hpp>

#include "common/slot_path_grammar.h"

namespace velko::dataset_replay {

// A key of a slot path: a list position or a map entry.
using SlotKey = slot_path::SlotKey;

// A slot key applied to a value that can't be addressed by it (a text on a list, any key on a
// number or a text).
class TypeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Parses a slot path into its keys. Throws PublishReportError "Can't address the sim's slot
// '<name>'" for a text that is not a slot path, and std::invalid_argument for a bracketed key
// that is neither an integer nor a quoted text.
std::vector<SlotKey> parse_slot_path(std::string_view name);

// Writes `new_value` at the slot of `value` in place, cast to the kind of number the slot
// held: an integer slot takes the value rounded half to even. The empty path addresses the
// whole value, which is replaced by the cast number. Throws KeyError / std::out_of_range for a
// key the value does not have, TypeError for a key on a value it can't address, and
// std::domain_error for a non-finite or too large value for an integer slot; `value` is left
// unchanged then.
void write_slot(boost::json::value& value, std::string_view name, double new_value);

// write_slot for many actions through one slot: the path is read once, not for every write.
class SlotWriter {
 public:
  // Never throws for an unreadable path: that is thrown by every write, as write_slot does.
  explicit SlotWriter(std::string_view name);
  // As write_slot(value, name, new_value).
  void write(boost::json::value& value, double new_value) const;

 private:
  std::vector<SlotKey> keys_;
  std::exception_ptr unreadable_;
};

// The action with the slot set: `value` written in place as write_slot does and returned, or,
// for the empty path, the cast number that stands for the whole value (`value` is then left
// as it was).
boost::json::value set_slot(boost::json::value& value, std::string_view name, double new_value);

// The number stored in place of `old`: an integer for an integer, otherwise a double.
boost::json::value cast(const boost::json::value& old, double new_value);

class CoreLibrary;
class Sensor;

// Reads the sensor value at the slot as a finite number, through the core library's sensor; no
// value when it cannot be read. Never throws an ordinary error.
std::optional<double> read_slot(CoreLibrary& core, const boost::json::value& observation,
                                std::string_view name);

// read_slot for many observations of one slot: the sensor is made once, not for every read.
class SlotReader {
 public:
  SlotReader(CoreLibrary& core, std::string_view name);
  ~SlotReader();
  SlotReader(SlotReader&&) noexcept;
  SlotReader& operator=(SlotReader&&) noexcept;
  // As read_slot(observation, name).
  std::optional<double> read(const boost::json::value& observation) const;

 private:
  std::unique_ptr<Sensor> sensor_;  // none when no sensor could be made for the slot
};

}  // namespace velko::dataset_replay
