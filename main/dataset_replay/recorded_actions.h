// The compute node's "analysis-actions" answer in compact form: the recorded actions of each
// episode as typed columns (a tag byte per row, eight bytes per number), the column lists that
// the plan joins with the sim, and the error that blames the node for a fault in them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/json/kind.hpp>
#include <boost/json/value.hpp>

#include "common/errors.h"
#include "main/dataset_replay/byte_log.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {

// A fault of the compute node's "analysis-actions" answer, found while it is read, planned
// with or replayed: the node is to blame, not the sim. The fault (a KeyError or a BadAnswer)
// is kept as the nested cause, and the message names its type and text.
class NodeAnswerError : public PublishReportError {
 public:
  explicit NodeAnswerError(const std::exception& fault);
};

// Runs `read`, which reads the node's answer, and raises a KeyError or BadAnswer that it
// throws as the node's fault (a NodeAnswerError with the fault nested).
template <class Fn>
decltype(auto) blame_node(Fn&& read) {
  try {
    return std::forward<Fn>(read)();
  } catch (const NodeAnswerError&) {
    throw;
  } catch (const KeyError& fault) {
    std::throw_with_nested(NodeAnswerError(fault));
  } catch (const BadAnswer& fault) {
    std::throw_with_nested(NodeAnswerError(fault));
  }
}

// The node's column identifiers of one role ("sensor_variables" or "action_variables").
struct ColumnIds {
  // The kind of the member's value; nothing when the answer lacks the member.
  std::optional<boost::json::kind> kind;
  // The identifiers in the node's order, up to the first entry that is not a text.
  std::vector<std::string> ids;
  // The literal form of that entry, when there is one; the entries after it are not kept.
  std::optional<std::string> not_text;
};

// The node's "raw_names": each column's name as the dataset records it.
struct RawNames {
  std::optional<boost::json::kind> kind;
  // By column identifier; nothing for a raw name that is not a text.
  std::unordered_map<std::string, std::optional<std::string>> names;
};

// What the plan reads of the answer.
struct NodeColumns {
  // The kind of the whole answer (a map is expected).
  boost::json::kind answer_kind = boost::json::kind::object;
  ColumnIds sensor_variables;
  ColumnIds action_variables;
  RawNames raw_names;
};

class RecordedActions;

// One recorded action column of an episode, read row by row from row 0; a view, as
// RecordedEpisode is.
class ActionColumn {
 public:
  // The column's value at `row`: a number, or nothing where none was recorded (null). Rows
  // are read in increasing order; rows passed over are not looked at. Raises, as the node's
  // fault, KeyError for a row past the column's end and BadAnswer for a value that is not a
  // number.
  std::optional<double> at(std::int64_t row);

 private:
  friend class RecordedEpisode;
  ActionColumn(const RecordedActions& actions, std::string id, std::uint64_t offset);

  const RecordedActions* actions_;
  std::string id_;
  ByteLog::Reader reader_;
  std::uint64_t next_row_ = 0;
};

// One entry of the answer's "episodes"; a view into a RecordedActions, which must neither
// move nor end while the view is used.
// Each accessor raises a missing member (KeyError) or one of the wrong kind (BadAnswer) as
// the node's fault, with the messages of json_access.
class RecordedEpisode {
 public:
  // The "episode" identifier, as the node gave it.
  boost::json::value id() const;
  // The "n_rows" value, as the node gave it.
  boost::json::value n_rows() const;
  // "n_rows" as an integer (one beyond the signed 64-bit range counts as its largest value).
  std::int64_t row_count() const;
  // The recorded columns with these identifiers, in the same order, each read from row 0.
  // Raises for a missing "actions", a missing column, or a column that is not a list (the
  // first such identifier in order).
  std::vector<ActionColumn> columns(const std::vector<std::string>& ids) const;

 private:
  friend class RecordedActions;
  RecordedEpisode(const RecordedActions& actions, std::size_t index)
      : actions_(&actions), index_(index) {}

  const RecordedActions* actions_;
  std::size_t index_;
};

// The whole answer. Move-only; built by RecordedActions::Writer.
class RecordedActions {
 public:
  class Writer;

  RecordedActions() = default;
  RecordedActions(RecordedActions&&) = default;
  RecordedActions& operator=(RecordedActions&&) = default;

  const NodeColumns& columns() const { return columns_; }
  // The number of entries of "episodes". Raises, as the node's fault, KeyError when the
  // answer has no "episodes" and BadAnswer when it is not a list.
  std::size_t episode_count() const;
  // The entry at `index` (below episode_count()).
  RecordedEpisode episode(std::size_t index) const { return RecordedEpisode(*this, index); }
  // Bytes of memory that the answer holds, about (the episode records reserved for the
  // episodes asked for count as they are filled).
  std::size_t memory_bytes() const;

 private:
  friend class RecordedEpisode;
  friend class ActionColumn;

  // Where an episode's members lie in the log, in 12 bytes: an answer of many small episodes
  // holds one per episode. The log of an answer within MAX_NODE_ANSWER_BYTES stays below
  // 4 GiB (nine bytes for the shortest number, "0,").
  struct EpisodeRecord {
    static constexpr std::uint32_t kNone = ~std::uint32_t{0};
    // In `n_rows` of an entry that is not a map, whose `id` then holds its kind.
    static constexpr std::uint32_t kNotMap = kNone - 1;
    std::uint32_t id = kNone;       // its captured "episode" value
    std::uint32_t n_rows = kNone;   // its captured "n_rows" value
    std::uint32_t actions = kNone;  // its "actions" record

    boost::json::kind kind() const {
      return n_rows == kNotMap ? static_cast<boost::json::kind>(id) : boost::json::kind::object;
    }
  };
  static_assert(sizeof(EpisodeRecord) == 12);

  // Bytes that tag each row of a column in the log, and the end of a column.
  enum Tag : std::uint8_t {
    kRowNull = 0,
    kRowNumber = 1,         // then 8 bytes: the double
    kRowNotNumber = 2,      // then the value captured
    kRowNotNumberKind = 3,  // then 1 byte: the value's kind (no text is kept)
    kColumnEnd = 4,
    kColumnNotList = 5,  // instead of rows: then the value captured
  };

  // The captured value (compact JSON text, length first) at an offset, parsed, or as text.
  boost::json::value captured(std::uint64_t offset) const;
  std::string captured_text(std::uint64_t offset) const;
  // Moves a reader past one column's rows, or its value that is not a list.
  static void skip_column(ByteLog::Reader& reader);

  NodeColumns columns_;
  ByteLog log_;
  std::vector<EpisodeRecord> episodes_;
  // The kind of "episodes" (nothing when absent) and, when it is not a list, its value.
  std::optional<boost::json::kind> episodes_kind_;
  std::string episodes_value_;
};

// Fills a RecordedActions in the order the answer gives its parts. Captured values are
// compact JSON texts; the writer keeps them as they are.
class RecordedActions::Writer {
 public:
  // `asked`: how many episodes were asked for; the answer may hold no more.
  explicit Writer(std::size_t asked);

  NodeColumns& columns() { return out_.columns_; }

  // "episodes": a list begins the entries anew; any other kind is kept with its value.
  void begin_episodes(boost::json::kind kind, std::string_view captured = {});
  // A new entry of kind `kind`; BadAnswer once there are more than were asked for.
  void begin_episode(boost::json::kind kind);
  void episode_id(std::string_view captured);
  void episode_rows(std::string_view captured);
  // "actions" of kind `kind`; the columns follow when it is a map.
  void begin_actions(boost::json::kind kind);
  void begin_column(std::string_view id);
  void column_not_list(std::string_view captured);
  void row_null() { out_.log_.append_byte(kRowNull); }
  void row_number(double value) {
    std::uint8_t row[1 + sizeof value] = {kRowNumber};
    std::memcpy(row + 1, &value, sizeof value);
    out_.log_.append(row, sizeof row);
  }
  void row_not_number(std::string_view captured);
  void row_not_number_kind(boost::json::kind kind);
  void end_column() { out_.log_.append_byte(kColumnEnd); }
  void end_actions() { out_.log_.append_varint(0); }

  // The answer written; BadAnswer when two episodes have the same identifier.
  RecordedActions finish();

 private:
  void append_captured(std::string_view captured);
  // The log's size as an episode record's offset; BadAnswer beyond what one can hold.
  std::uint32_t offset() const;
  // BadAnswer for an episode identifier that two entries share.
  void check_repeated_ids() const;

  RecordedActions out_;
  std::size_t asked_;
};

}  // namespace velko::dataset_replay
