// Reading the compute node's "analysis-actions" answer into compact storage as it arrives.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "main/dataset_replay/recorded_actions.h"

namespace velko::dataset_replay {

// Reads the answer piece by piece, as the connection delivers it, and keeps only what the
// replay and the plan read: the recorded action columns, the episodes' identifiers and row
// counts, the column lists and the raw names. Members it does not know are passed over
// without being kept. Nothing of the text itself is held beyond the piece being read.
class ActionsReader {
 public:
  // Most entries of "sensor_variables" and of "action_variables"; "raw_names", which names
  // the columns of both, may have twice as many.
  static constexpr std::size_t kMaxColumns = 100000;
  // Longest column identifier or raw name, in bytes.
  static constexpr std::size_t kMaxNameBytes = std::size_t{64} << 10;
  // Largest value kept as it is (an episode identifier, or a value of the wrong kind for its
  // message), in bytes of compact JSON.
  static constexpr std::size_t kMaxKeptValueBytes = std::size_t{64} << 10;
  // Longest number, in characters.
  static constexpr std::size_t kMaxNumberChars = 4096;

  // `asked`: the number of episodes asked for; the answer may hold no more.
  explicit ActionsReader(std::size_t asked);
  ~ActionsReader();
  ActionsReader(const ActionsReader&) = delete;
  ActionsReader& operator=(const ActionsReader&) = delete;

  // Reads the next piece of the answer. Throws json_text::JsonError for a text that is not
  // JSON (its position counted from the answer's start; a number beyond the range of a
  // double is refused as such), and NodeAnswerError for an answer that holds more than it
  // may: more episodes than were asked for, one episode twice, a value over its bound above.
  // After an error the reader is done with.
  void write(std::string_view piece);
  // Ends the answer and yields what was read; JsonError when the text ends early.
  RecordedActions finish();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Reads a whole answer that is in memory, as ActionsReader does.
RecordedActions read_recorded_actions(std::string_view text, std::size_t asked);

}  // namespace velko::dataset_replay
