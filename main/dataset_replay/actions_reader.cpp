#include "main/dataset_replay/actions_reader.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <boost/json/basic_parser_impl.hpp>

#include "common/json_text.h"
#include "common/literal.h"
#include "main/dataset_replay/compact_value.h"

namespace velko::dataset_replay {

namespace json = boost::json;

namespace {

// Longest member name that is compared with the names read here.
constexpr std::size_t kMaxMemberName = 16;

// The members of the answer and of an episode that are read; the others are passed over.
enum class Member : std::uint8_t {
  kOther,
  kEpisodes,
  kSensorVariables,
  kActionVariables,
  kRawNames,
  kEpisode,
  kNRows,
  kActions,
};

// The member of the answer named `key`.
Member answer_member(std::string_view key) {
  if (key == "episodes") return Member::kEpisodes;
  if (key == "sensor_variables") return Member::kSensorVariables;
  if (key == "action_variables") return Member::kActionVariables;
  if (key == "raw_names") return Member::kRawNames;
  return Member::kOther;
}

// The member of an episode named `key`.
Member episode_member(std::string_view key) {
  if (key == "episode") return Member::kEpisode;
  if (key == "n_rows") return Member::kNRows;
  if (key == "actions") return Member::kActions;
  return Member::kOther;
}

// The structures read member by member or entry by entry.
enum class Frame : std::uint8_t {
  kAnswer,
  kEpisodes,
  kEpisode,
  kActions,
  kColumn,
  kIds,
  kRawNames,
};

// What a value that begins is for.
enum class Role : std::uint8_t {
  kAnswer,     // the whole answer
  kEpisodes,   // "episodes"
  kEntry,      // an entry of "episodes"
  kEpisodeId,  // an entry's "episode"
  kNRows,      // an entry's "n_rows"
  kActions,    // an entry's "actions"
  kColumn,     // a member of "actions"
  kRow,        // a value of a column
  kIds,        // "sensor_variables" or "action_variables"
  kId,         // an entry of either
  kRawNames,   // "raw_names"
  kRawName,    // a member of "raw_names"
  kSkip,       // anything else
};

// How the content of a value that begins is taken.
enum class Take : std::uint8_t {
  kEnter,    // a structure read entry by entry
  kSkip,     // passed over
  kCapture,  // kept as compact JSON text
  kText,     // a text kept as it is
  kTaken,    // a scalar handled when it began
};

// A size in KiB, as messages name the bounds.
std::string kib(std::size_t bytes) { return std::to_string(bytes >> 10) + " KiB"; }

// True when a JSON number's text has an exponent part.
bool has_exponent(std::string_view text) {
  for (char c : text) {
    if ((c | 0x20) == 'e') return true;
  }
  return false;
}

// The double that a JSON number's text stands for, read exactly. `approx` is the parser's
// own reading, which tells an underflow (read as zero) from an overflow. Nothing for a number
// beyond the range of a double.
std::optional<double> exact_double(std::string_view text, double approx) {
  // The parser's reading is exact for a number of at most 16 characters without an exponent:
  // its mantissa (at most 15 digits) is exact as a double and it is divided once by an exact
  // power of ten (at most 10^15), which rounds correctly. Such numbers are the usual ones.
  if (text.size() <= 16 && !has_exponent(text)) return approx;
  double value = 0;
  auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc()) return value;
  if (result.ec == std::errc::result_out_of_range && std::fabs(approx) < 1) {
    return text.front() == '-' ? -0.0 : 0.0;
  }
  return std::nullopt;
}

// The parser's handler: keeps what the replay and the plan read, passes over the rest.
class Handler {
 public:
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);

  explicit Handler(std::size_t asked) : writer_(asked) {}

  RecordedActions finish() { return writer_.finish(); }

  // The parser's events. Each returns false (with `ec` set) only for a number out of range;
  // other faults are thrown.
  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_array_begin(json::error_code&) {
    begin(json::kind::array);
    return true;
  }
  bool on_object_begin(json::error_code&) {
    begin(json::kind::object);
    return true;
  }
  bool on_array_end(std::size_t, json::error_code&) {
    end();
    return true;
  }
  bool on_object_end(std::size_t, json::error_code&) {
    end();
    return true;
  }
  bool on_string_part(json::string_view part, std::size_t, json::error_code&) {
    string_part(part);
    return true;
  }
  bool on_string(json::string_view part, std::size_t, json::error_code&) {
    string_part(part);
    string_end();
    return true;
  }
  bool on_key_part(json::string_view part, std::size_t, json::error_code&) {
    key_part(part);
    return true;
  }
  bool on_key(json::string_view part, std::size_t, json::error_code&) {
    key_part(part);
    key_end();
    return true;
  }
  bool on_number_part(json::string_view part, json::error_code&) {
    number_part(part);
    return true;
  }
  bool on_int64(std::int64_t value, json::string_view last, json::error_code& ec) {
    return number(static_cast<double>(value), last, true, ec);
  }
  bool on_uint64(std::uint64_t value, json::string_view last, json::error_code& ec) {
    return number(static_cast<double>(value), last, true, ec);
  }
  bool on_double(double value, json::string_view last, json::error_code& ec) {
    return number(value, last, false, ec);
  }
  bool on_bool(bool value, json::error_code&) {
    scalar(json::kind::bool_, value ? "true" : "false");
    return true;
  }
  bool on_null(json::error_code&) {
    scalar(json::kind::null, "null");
    return true;
  }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

 private:
  // What the value that begins now is for.
  Role role() const {
    if (frames_.empty()) return Role::kAnswer;
    switch (frames_.back()) {
      case Frame::kAnswer:
        switch (member_) {
          case Member::kEpisodes:
            return Role::kEpisodes;
          case Member::kSensorVariables:
          case Member::kActionVariables:
            return Role::kIds;
          case Member::kRawNames:
            return Role::kRawNames;
          default:
            return Role::kSkip;
        }
      case Frame::kEpisodes:
        return Role::kEntry;
      case Frame::kEpisode:
        switch (member_) {
          case Member::kEpisode:
            return Role::kEpisodeId;
          case Member::kNRows:
            return Role::kNRows;
          case Member::kActions:
            return Role::kActions;
          default:
            return Role::kSkip;
        }
      case Frame::kActions:
        return Role::kColumn;
      case Frame::kColumn:
        return Role::kRow;
      case Frame::kIds:
        return Role::kId;
      case Frame::kRawNames:
        return Role::kRawName;
    }
    return Role::kSkip;
  }

  // Reads a structure entry by entry.
  Take enter(Frame frame) {
    frames_.push_back(frame);
    return Take::kEnter;
  }

  // Keeps a value of `kind` for `role` as its text.
  Take capture(Role role, json::kind kind) {
    capture_.start(kind);
    capture_role_ = role;
    return Take::kCapture;
  }

  // Starts a value of `kind` where neither a pass-over nor a capture is under way, and says
  // how its content is taken.
  Take begin_value(json::kind kind) {
    constexpr json::kind kArray = json::kind::array;
    constexpr json::kind kObject = json::kind::object;
    Role what = role();
    switch (what) {
      case Role::kAnswer:
        writer_.columns().answer_kind = kind;
        return kind == kObject ? enter(Frame::kAnswer) : Take::kSkip;
      case Role::kEpisodes:
        if (kind != kArray) return capture(what, kind);
        writer_.begin_episodes(kind);
        return enter(Frame::kEpisodes);
      case Role::kEntry:
        writer_.begin_episode(kind);
        member_ = Member::kOther;
        return kind == kObject ? enter(Frame::kEpisode) : Take::kSkip;
      case Role::kEpisodeId:
      case Role::kNRows:
        return capture(what, kind);
      case Role::kActions:
        writer_.begin_actions(kind);
        return kind == kObject ? enter(Frame::kActions) : Take::kSkip;
      case Role::kColumn:
        if (kind != kArray) return capture(what, kind);
        row_ = 0;
        column_has_not_number_ = false;
        in_column_ = true;
        return enter(Frame::kColumn);
      case Role::kRow:
        return begin_row(kind);
      case Role::kIds: {
        ColumnIds& ids = member_ == Member::kSensorVariables ? writer_.columns().sensor_variables
                                                             : writer_.columns().action_variables;
        ids = ColumnIds{};
        ids.kind = kind;
        ids_ = &ids;
        return kind == kArray ? enter(Frame::kIds) : Take::kSkip;
      }
      case Role::kId:
        // Nothing after an entry that is not a text is ever read.
        if (ids_->not_text) return Take::kSkip;
        return kind == json::kind::string ? Take::kText : capture(what, kind);
      case Role::kRawNames:
        writer_.columns().raw_names = RawNames{};
        writer_.columns().raw_names.kind = kind;
        return kind == kObject ? enter(Frame::kRawNames) : Take::kSkip;
      case Role::kRawName:
        if (kind == json::kind::string) return Take::kText;
        set_raw_name(std::nullopt);
        return Take::kSkip;
      case Role::kSkip:
        return Take::kSkip;
    }
    return Take::kSkip;
  }

  // A row's value that is not a number (numbers take a faster way). Only the first one from
  // row 1 on is kept whole: the replay reads rows in order and stops at it.
  Take begin_row(json::kind kind) {
    std::uint64_t row = row_++;
    if (kind == json::kind::null) {
      writer_.row_null();
      return Take::kTaken;
    }
    if (row >= 1 && !column_has_not_number_) {
      column_has_not_number_ = true;
      return capture(Role::kRow, kind);
    }
    writer_.row_not_number_kind(kind);
    return Take::kSkip;
  }

  // An array or a map begins.
  void begin(json::kind kind) {
    if (skip_depth_ > 0) {
      ++skip_depth_;
    } else if (capture_.active()) {
      capture_.open(kind);
    } else {
      switch (begin_value(kind)) {
        case Take::kSkip:
          skip_depth_ = 1;
          break;
        case Take::kCapture:
          capture_.open(kind);
          break;
        default:
          break;
      }
    }
  }

  // An array or a map ends.
  void end() {
    if (skip_depth_ > 0) {
      --skip_depth_;
      return;
    }
    if (capture_.active()) {
      if (capture_.close()) captured();
      return;
    }
    Frame frame = frames_.back();
    frames_.pop_back();
    switch (frame) {
      case Frame::kActions:
        writer_.end_actions();
        break;
      case Frame::kColumn:
        writer_.end_column();
        in_column_ = false;
        break;
      default:
        break;
    }
  }

  // A true, false or null, written as `text`.
  void scalar(json::kind kind, std::string_view text) {
    if (skip_depth_ > 0) return;
    if (capture_.active() || begin_value(kind) == Take::kCapture) {
      if (capture_.scalar(text)) captured();
    }
  }

  // A piece of a text value; the first one begins the value.
  void string_part(std::string_view part) {
    if (skip_depth_ > 0) return;
    if (!in_string_) {
      in_string_ = true;
      if (capture_.active()) {
        string_take_ = Take::kCapture;
      } else {
        text_role_ = role();
        string_take_ = begin_value(json::kind::string);
        text_.clear();
      }
    }
    if (string_take_ == Take::kCapture) {
      capture_.string_part(part);
    } else if (string_take_ == Take::kText) {
      if (text_.size() + part.size() > ActionsReader::kMaxNameBytes) {
        throw BadAnswer("the answer has a " +
                        std::string(text_role_ == Role::kId ? "column identifier" : "raw name") +
                        " longer than " + kib(ActionsReader::kMaxNameBytes));
      }
      text_.append(part);
    }
  }

  // A text value ends.
  void string_end() {
    if (skip_depth_ > 0) return;
    in_string_ = false;
    if (string_take_ == Take::kCapture) {
      if (capture_.string_end()) captured();
    } else if (string_take_ == Take::kText) {
      if (text_role_ == Role::kId) {
        if (ids_->ids.size() >= ActionsReader::kMaxColumns) too_many_columns(ids_);
        ids_->ids.push_back(text_);
      } else {
        set_raw_name(text_);
      }
    }
  }

  // A piece of a member name.
  void key_part(std::string_view part) {
    if (skip_depth_ > 0) return;
    if (capture_.active()) {
      capture_.string_part(part);
      return;
    }
    switch (frames_.back()) {
      case Frame::kAnswer:
      case Frame::kEpisode:
        // A longer name is none of those read.
        if (key_.size() <= kMaxMemberName) {
          key_.append(part.substr(0, kMaxMemberName + 1 - key_.size()));
        }
        break;
      default:
        if (key_.size() + part.size() > ActionsReader::kMaxNameBytes) {
          throw BadAnswer("the answer has a column identifier longer than " +
                          kib(ActionsReader::kMaxNameBytes));
        }
        key_.append(part);
        break;
    }
  }

  // A member name ends; the member's value follows.
  void key_end() {
    if (skip_depth_ > 0) return;
    if (capture_.active()) {
      capture_.key_end();
      return;
    }
    switch (frames_.back()) {
      case Frame::kAnswer:
        member_ = answer_member(key_);
        key_.clear();
        break;
      case Frame::kEpisode:
        member_ = episode_member(key_);
        key_.clear();
        break;
      case Frame::kActions:
        writer_.begin_column(key_);
        column_.swap(key_);
        key_.clear();
        break;
      default:
        break;  // a raw name's column: kept until its value
    }
  }

  // A piece of a number that goes on in the next piece of the answer.
  void number_part(std::string_view part) {
    if (number_.size() + part.size() <= ActionsReader::kMaxNumberChars) {
      number_.append(part);
    } else {
      number_too_long_ = true;
    }
  }

  // A number ends with `last`; `approx` is the parser's reading of it, exact when `integral`.
  bool number(double approx, std::string_view last, bool integral, json::error_code& ec) {
    // The usual case first: a recorded number, whole in one piece, that the parser read
    // exactly.
    if (in_column_ && skip_depth_ == 0 && !capture_.active() && number_.empty() &&
        !number_too_long_ && (integral || (last.size() <= 16 && !has_exponent(last)))) {
      writer_.row_number(approx);
      ++row_;
      return true;
    }
    std::string_view text = last;
    if (!number_.empty() || number_too_long_) {
      number_part(last);
      text = number_;
    }
    bool too_long = number_too_long_ || text.size() > ActionsReader::kMaxNumberChars;
    number_size_ = number_too_long_ ? 0 : text.size();
    bool kept = skip_depth_ == 0;
    if (kept && !capture_.active() && !frames_.empty() && frames_.back() == Frame::kColumn) {
      // The usual case, a recorded number.
      if (too_long) too_long_number();
      std::optional<double> value = integral ? approx : exact_double(text, approx);
      if (!value) return out_of_range(ec);
      writer_.row_number(*value);
      ++row_;
    } else {
      // Elsewhere a number is only checked, or kept as written.
      if (!integral && !std::isfinite(approx)) return out_of_range(ec);
      if (!integral && std::fabs(approx) > 1e308 && !number_too_long_ &&
          !exact_double(text, approx)) {
        return out_of_range(ec);
      }
      if (kept && (capture_.active() || begin_value(json::kind::double_) == Take::kCapture)) {
        if (too_long) too_long_number();
        if (capture_.scalar(text)) captured();
      }
    }
    number_.clear();
    number_too_long_ = false;
    return true;
  }

 public:
  // The length of the number last read (0 when not known): a number out of range is found
  // once it has been read, and shown where it begins.
  std::size_t number_size() const { return number_size_; }

 private:
  // Stops the parser at a number beyond the range of a double.
  static bool out_of_range(json::error_code& ec) {
    ec = json::error::exponent_overflow;
    return false;
  }

  // The fault of a number too long to keep.
  [[noreturn]] static void too_long_number() {
    throw BadAnswer("the answer has a number longer than " +
                    std::to_string(ActionsReader::kMaxNumberChars) + " characters");
  }

  // `ids` is the list over its bound, or null for "raw_names".
  [[noreturn]] void too_many_columns(const ColumnIds* ids) {
    std::string member = ids == &writer_.columns().sensor_variables   ? "sensor_variables"
                         : ids == &writer_.columns().action_variables ? "action_variables"
                                                                      : "raw_names";
    std::size_t bound = ids ? ActionsReader::kMaxColumns : 2 * ActionsReader::kMaxColumns;
    throw BadAnswer("the answer lists more than " + std::to_string(bound) + " columns in \"" +
                    member + "\"");
  }

  // The raw name of the column named by key_ (nothing when it is not a text).
  void set_raw_name(std::optional<std::string> name) {
    auto& names = writer_.columns().raw_names.names;
    if (auto it = names.find(key_); it != names.end()) {
      it->second = std::move(name);  // a repeated member: the last counts
    } else {
      if (names.size() >= 2 * ActionsReader::kMaxColumns) too_many_columns(nullptr);
      names.emplace(key_, std::move(name));
    }
    key_.clear();
  }

  // A capture is complete: hands it on.
  void captured() {
    const std::string& text = capture_.text();
    if (capture_.over()) {
      throw BadAnswer("the answer has a value larger than " +
                      kib(ActionsReader::kMaxKeptValueBytes) + " as " + captured_where());
    }
    switch (capture_role_) {
      case Role::kEpisodes:
        writer_.begin_episodes(capture_.kind(), text);
        break;
      case Role::kEpisodeId:
        writer_.episode_id(text);
        break;
      case Role::kNRows:
        writer_.episode_rows(text);
        break;
      case Role::kColumn:
        writer_.column_not_list(text);
        break;
      case Role::kRow:
        writer_.row_not_number(text);
        break;
      case Role::kId:
        ids_->not_text = literal(json_text::parse(text));
        break;
      default:
        break;
    }
  }

  // Where the capture under way lies, as a message names it.
  std::string captured_where() const {
    switch (capture_role_) {
      case Role::kEpisodes:
        return "\"episodes\"";
      case Role::kEpisodeId:
        return "the \"episode\" of an episode";
      case Role::kNRows:
        return "the \"n_rows\" of an episode";
      case Role::kColumn:
        return "the recorded actions of column " + quoted(column_);
      case Role::kRow:
        return "a recorded action of column " + quoted(column_);
      default:
        return "a column identifier";
    }
  }

  RecordedActions::Writer writer_;
  std::vector<Frame> frames_;
  Member member_ = Member::kOther;  // the last member name read in the answer or an episode
  std::size_t skip_depth_ = 0;      // above 0 while a structure is passed over
  CompactValue capture_{ActionsReader::kMaxKeptValueBytes};
  Role capture_role_ = Role::kSkip;  // what the captured value is for
  ColumnIds* ids_ = nullptr;         // the list being read
  std::string key_;                  // the member name being read
  std::string column_;               // the identifier of the column being read
  bool in_column_ = false;           // a column's values are being read
  std::uint64_t row_ = 0;            // the row of the column's next value
  bool column_has_not_number_ = false;
  bool in_string_ = false;
  Take string_take_ = Take::kSkip;
  Role text_role_ = Role::kSkip;
  std::string text_;    // a text value being read
  std::string number_;  // the parts of a number being read
  bool number_too_long_ = false;
  std::size_t number_size_ = 0;
};

// Counts the characters (not bytes) of UTF-8 text: the bytes that are not continuation
// bytes (10xxxxxx), eight at a time.
std::uint64_t characters(const char* data, std::size_t size) {
  std::uint64_t continuation = 0;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, sizeof word);
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    if ((word & kHigh) == 0) continue;
    continuation += static_cast<std::uint64_t>(__builtin_popcountll(word & ~(word << 1) & kHigh));
  }
  for (; i < size; ++i) continuation += (static_cast<unsigned char>(data[i]) & 0xC0) == 0x80;
  return size - continuation;
}

}  // namespace

class ActionsReader::Impl {
 public:
  explicit Impl(std::size_t asked) : parser_(options(), asked) {}

  void write(std::string_view piece) {
    if (piece.empty()) return;
    if (blank_) blank_ = piece.find_first_not_of(" \t\r\n") == std::string_view::npos;
    if (done_) {
      trailing(piece, 0);
    } else {
      json::error_code ec;
      std::size_t used = parser_.write_some(true, piece.data(), piece.size(), ec);
      if (ec) fail(ec, piece, used);
      if (parser_.done()) {
        done_ = true;
        trailing(piece, used);
      }
    }
    advance(piece);
  }

  RecordedActions finish() {
    if (!done_) {
      json::error_code ec;
      parser_.write_some(false, "", 0, ec);
      if (ec) fail(ec, {}, 0);
    }
    return parser_.handler().finish();
  }

 private:
  static json::parse_options options() {
    json::parse_options options;
    options.max_depth = json_text::kMaxDepth;
    return options;
  }

  // Only white space may follow the answer.
  void trailing(std::string_view piece, std::size_t from) {
    std::size_t other = piece.find_first_not_of(" \t\r\n", from);
    if (other != std::string_view::npos) fail(json::error::extra_data, piece, other);
  }

  // The line and the character within it that the answer has reached.
  void advance(std::string_view piece) {
    if (piece.empty()) return;
    const char* data = piece.data();
    const auto* last = static_cast<const char*>(::memrchr(data, '\n', piece.size()));
    if (!last) {
      column_ += characters(data, piece.size());
    } else {
      for (const char* p = data; p <= last; ++line_) {
        p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(last - p) + 1));
        ++p;
      }
      column_ = characters(last + 1, static_cast<std::size_t>(data + piece.size() - last - 1));
    }
    offset_ += piece.size();
  }

  // Raises the JsonError of a parse error at `used` bytes into `piece`.
  [[noreturn]] void fail(json::error_code ec, std::string_view piece, std::size_t used) {
    std::string what;
    if (ec == json::error::too_deep) {
      what = "nesting deeper than " + std::to_string(json_text::kMaxDepth) + " levels";
    } else if (ec == json::error::extra_data) {
      what = "extra data after the JSON value";
    } else if (ec == json::error::incomplete) {
      what = blank_ ? "expected a value" : "unexpected end of the text";
    } else if (ec == json::error::syntax) {
      what = "syntax error";
    } else if (ec == json::error::exponent_overflow) {
      what = "number out of range";
    } else {
      what = ec.message();
    }
    advance(piece.substr(0, used));
    if (ec == json::error::exponent_overflow) {
      // A number has no line breaks and is ASCII: its start is its length back.
      std::size_t size = std::min<std::uint64_t>(parser_.handler().number_size(), column_);
      column_ -= size;
      offset_ -= size;
    }
    throw json_text::JsonError(what + " at line " + std::to_string(line_) + " column " +
                               std::to_string(column_ + 1) + " (char " + std::to_string(offset_) +
                               ")");
  }

  json::basic_parser<Handler> parser_;
  std::uint64_t offset_ = 0;  // bytes read so far
  std::uint64_t line_ = 1;
  std::uint64_t column_ = 0;  // characters read on the current line
  bool blank_ = true;         // only white space so far
  bool done_ = false;
};

ActionsReader::ActionsReader(std::size_t asked) : impl_(std::make_unique<Impl>(asked)) {}

ActionsReader::~ActionsReader() = default;

void ActionsReader::write(std::string_view piece) {
  blame_node([&] { impl_->write(piece); });
}

RecordedActions ActionsReader::finish() {
  return blame_node([&] { return impl_->finish(); });
}

RecordedActions read_recorded_actions(std::string_view text, std::size_t asked) {
  ActionsReader reader(asked);
  reader.write(text);
  return reader.finish();
}

}  // namespace velko::dataset_replay
