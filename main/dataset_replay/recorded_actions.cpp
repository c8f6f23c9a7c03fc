#include "main/dataset_replay/recorded_actions.h"

#include <algorithm>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/json_access.h"
#include "common/json_text.h"
#include "common/literal.h"

namespace velko::dataset_replay {

namespace json = boost::json;

namespace {

constexpr std::string_view kEpisode = "the compute node's episode";
constexpr std::string_view kActions = "the episode's \"actions\"";

// Most episode records reserved up front (48 MiB of address space); a longer list grows.
constexpr std::size_t kMaxReservedEpisodes = std::size_t{1} << 22;

// An empty value of a kind, for the messages that name a value's kind.
json::value of_kind(json::kind kind) {
  switch (kind) {
    case json::kind::null:
      return nullptr;
    case json::kind::bool_:
      return false;
    case json::kind::int64:
      return std::int64_t{0};
    case json::kind::uint64:
      return std::uint64_t{0};
    case json::kind::double_:
      return 0.0;
    case json::kind::string:
      return json::string();
    case json::kind::array:
      return json::array();
    case json::kind::object:
      return json::object();
  }
  return nullptr;
}

}  // namespace

NodeAnswerError::NodeAnswerError(const std::exception& fault)
    : PublishReportError("The compute node's \"analysis-actions\" answer is malformed (" +
                         type_name(fault) + ": " + fault.what() + ")") {}

// --- Reading ---

json::value RecordedActions::captured(std::uint64_t offset) const {
  return json_text::parse(captured_text(offset));
}

std::string RecordedActions::captured_text(std::uint64_t offset) const {
  ByteLog::Reader reader(log_, offset);
  std::uint64_t size = reader.varint();
  return reader.text(static_cast<std::size_t>(size));
}

std::size_t RecordedActions::episode_count() const {
  return blame_node([&]() -> std::size_t {
    constexpr std::string_view kWhat = "the compute node's recorded actions";
    json_access::as_map(of_kind(columns_.answer_kind), kWhat);
    if (!episodes_kind_) throw KeyError("episodes", std::string(kWhat));
    if (*episodes_kind_ != json::kind::array) {
      json_access::wrong_type(kWhat, "episodes", "a list", json_text::parse(episodes_value_));
    }
    return episodes_.size();
  });
}

std::size_t RecordedActions::memory_bytes() const {
  std::size_t bytes =
      log_.capacity() + episodes_.size() * sizeof(EpisodeRecord) + episodes_value_.capacity();
  for (const ColumnIds* ids : {&columns_.sensor_variables, &columns_.action_variables}) {
    for (const std::string& id : ids->ids) bytes += sizeof id + id.capacity();
  }
  for (const auto& [id, name] : columns_.raw_names.names) {
    bytes += sizeof(std::pair<std::string, std::optional<std::string>>) + id.capacity() +
             (name ? name->capacity() : 0) + 2 * sizeof(void*);
  }
  return bytes;
}

json::value RecordedEpisode::id() const {
  const auto& record = actions_->episodes_[index_];
  return blame_node([&] {
    json_access::as_map(of_kind(record.kind()), kEpisode);
    if (record.id == record.kNone) throw KeyError("episode", std::string(kEpisode));
    return actions_->captured(record.id);
  });
}

json::value RecordedEpisode::n_rows() const {
  const auto& record = actions_->episodes_[index_];
  return blame_node([&] {
    json_access::as_map(of_kind(record.kind()), kEpisode);
    if (record.n_rows == record.kNone) throw KeyError("n_rows", std::string(kEpisode));
    return actions_->captured(record.n_rows);
  });
}

std::int64_t RecordedEpisode::row_count() const {
  json::value rows = n_rows();
  return blame_node([&]() -> std::int64_t {
    if (rows.is_int64()) return rows.get_int64();
    if (rows.is_uint64()) {
      return static_cast<std::int64_t>(std::min<std::uint64_t>(rows.get_uint64(), INT64_MAX));
    }
    json_access::wrong_type(kEpisode, "n_rows", "an integer", rows);
  });
}

std::vector<ActionColumn> RecordedEpisode::columns(const std::vector<std::string>& ids) const {
  const auto& record = actions_->episodes_[index_];
  return blame_node([&] {
    json_access::as_map(of_kind(record.kind()), kEpisode);
    if (record.actions == record.kNone) throw KeyError("actions", std::string(kEpisode));
    std::vector<ActionColumn> out;
    if (ids.empty()) return out;
    const ByteLog& log = actions_->log_;
    ByteLog::Reader reader(log, record.actions);
    json_access::as_map(of_kind(static_cast<json::kind>(reader.byte())), kActions);

    // One pass over the episode's columns finds every one asked for; of an identifier that
    // the node repeats, the last column counts (as for any JSON map read here).
    std::unordered_map<std::string_view, std::optional<std::uint64_t>> found;
    for (const std::string& id : ids) found.emplace(id, std::nullopt);
    std::string key;
    for (;;) {
      std::uint64_t key_size = reader.varint();
      if (key_size == 0) break;
      key.resize(static_cast<std::size_t>(key_size - 1));
      reader.read(key.data(), key.size());
      if (auto it = found.find(key); it != found.end()) it->second = reader.offset();
      RecordedActions::skip_column(reader);
    }

    out.reserve(ids.size());
    for (const std::string& id : ids) {
      std::optional<std::uint64_t> offset = found.at(id);
      if (!offset) throw KeyError(id, std::string(kActions));
      ByteLog::Reader column(log, *offset);
      if (column.byte() == RecordedActions::kColumnNotList) {
        json_access::wrong_type(kActions, id, "a list of numbers", actions_->captured(*offset + 1));
      }
      out.push_back(ActionColumn(*actions_, id, *offset));
    }
    return out;
  });
}

ActionColumn::ActionColumn(const RecordedActions& actions, std::string id, std::uint64_t offset)
    : actions_(&actions), id_(std::move(id)), reader_(actions.log_, offset) {}

std::optional<double> ActionColumn::at(std::int64_t row) {
  auto target = static_cast<std::uint64_t>(row);
  std::optional<double> value;
  while (next_row_ <= target) {
    std::uint8_t tag = reader_.byte();
    bool is_target = next_row_ == target;
    switch (tag) {
      case RecordedActions::kRowNull:
        break;
      case RecordedActions::kRowNumber: {
        double number;
        reader_.read(&number, sizeof number);
        if (is_target) value = number;
        break;
      }
      case RecordedActions::kRowNotNumber:
      case RecordedActions::kRowNotNumberKind: {
        std::string shown;
        if (tag == RecordedActions::kRowNotNumber) {
          std::uint64_t offset = reader_.offset();
          std::uint64_t size = reader_.varint();
          if (is_target) {
            shown = literal(actions_->captured(offset));
          } else {
            reader_.skip(size);
          }
        } else {
          shown = json_access::kind_name(of_kind(static_cast<json::kind>(reader_.byte())));
        }
        if (is_target) {
          blame_node([&] {
            throw BadAnswer("the recorded action of column " + quoted(id_) + " at row " +
                            std::to_string(row) + " is not a number (" + shown + ")");
          });
        }
        break;
      }
      default: {
        // The column's end: the reader stays before it, so asking again fails the same way.
        reader_ = ByteLog::Reader(actions_->log_, reader_.offset() - 1);
        blame_node([&] {
          throw KeyError("row " + std::to_string(row), "the recorded actions of column " +
                                                           quoted(id_) + " (" +
                                                           std::to_string(next_row_) + " rows)");
        });
      }
    }
    ++next_row_;
  }
  return value;
}

void RecordedActions::skip_column(ByteLog::Reader& reader) {
  for (;;) {
    switch (reader.byte()) {
      case kRowNull:
        break;
      case kRowNumber:
        reader.skip(sizeof(double));
        break;
      case kRowNotNumber:
        reader.skip(reader.varint());
        break;
      case kRowNotNumberKind:
        reader.skip(1);
        break;
      case kColumnNotList:
        reader.skip(reader.varint());
        return;
      default:  // kColumnEnd
        return;
    }
  }
}

// --- Writing ---

RecordedActions::Writer::Writer(std::size_t asked) : asked_(asked) {
  // Reserved for all that were asked for, so that the list does not grow by copying; the
  // pages of the records that the answer does not fill are never touched.
  out_.episodes_.reserve(std::min(asked, kMaxReservedEpisodes));
}

std::uint32_t RecordedActions::Writer::offset() const {
  if (out_.log_.size() >= EpisodeRecord::kNotMap) {
    throw BadAnswer("the answer holds more than 4 GiB of recorded actions");
  }
  return static_cast<std::uint32_t>(out_.log_.size());
}

void RecordedActions::Writer::append_captured(std::string_view captured) {
  out_.log_.append_varint(captured.size());
  out_.log_.append(captured.data(), captured.size());
}

void RecordedActions::Writer::begin_episodes(json::kind kind, std::string_view captured) {
  out_.episodes_kind_ = kind;
  out_.episodes_.clear();
  out_.episodes_value_ = kind == json::kind::array ? std::string() : std::string(captured);
}

void RecordedActions::Writer::begin_episode(json::kind kind) {
  if (out_.episodes_.size() >= asked_) {
    throw BadAnswer("the answer has more episodes than the " + std::to_string(asked_) +
                    " that were asked for");
  }
  EpisodeRecord& record = out_.episodes_.emplace_back();
  if (kind != json::kind::object) {
    record.n_rows = EpisodeRecord::kNotMap;
    record.id = static_cast<std::uint32_t>(kind);
  }
}

void RecordedActions::Writer::episode_id(std::string_view captured) {
  out_.episodes_.back().id = offset();
  append_captured(captured);
}

void RecordedActions::Writer::episode_rows(std::string_view captured) {
  out_.episodes_.back().n_rows = offset();
  append_captured(captured);
}

void RecordedActions::Writer::begin_actions(json::kind kind) {
  out_.episodes_.back().actions = offset();
  out_.log_.append_byte(static_cast<std::uint8_t>(kind));
}

void RecordedActions::Writer::begin_column(std::string_view id) {
  out_.log_.append_varint(id.size() + 1);
  out_.log_.append(id.data(), id.size());
}

void RecordedActions::Writer::column_not_list(std::string_view captured) {
  out_.log_.append_byte(kColumnNotList);
  append_captured(captured);
}

void RecordedActions::Writer::row_not_number(std::string_view captured) {
  out_.log_.append_byte(kRowNotNumber);
  append_captured(captured);
}

void RecordedActions::Writer::row_not_number_kind(json::kind kind) {
  out_.log_.append_byte(kRowNotNumberKind);
  out_.log_.append_byte(static_cast<std::uint8_t>(kind));
}

RecordedActions RecordedActions::Writer::finish() {
  check_repeated_ids();
  return std::move(out_);
}

void RecordedActions::Writer::check_repeated_ids() const {
  // Sorted hashes of the identifiers find a repeat without keeping the texts; the texts of
  // the episodes whose hashes meet are then compared.
  auto identifier = [&](const EpisodeRecord& record) -> std::optional<std::string> {
    if (record.kind() != json::kind::object || record.id == EpisodeRecord::kNone) return {};
    return out_.captured_text(record.id);
  };
  std::hash<std::string> hash;
  std::vector<std::size_t> hashes;
  hashes.reserve(out_.episodes_.size());
  for (const EpisodeRecord& record : out_.episodes_) {
    if (std::optional<std::string> id = identifier(record)) hashes.push_back(hash(*id));
  }
  std::sort(hashes.begin(), hashes.end());
  for (std::size_t i = 1; i < hashes.size(); ++i) {
    if (hashes[i] != hashes[i - 1]) continue;
    std::vector<std::string> seen;
    for (const EpisodeRecord& record : out_.episodes_) {
      std::optional<std::string> id = identifier(record);
      if (!id || hash(*id) != hashes[i]) continue;
      if (std::find(seen.begin(), seen.end(), *id) != seen.end()) {
        throw BadAnswer("the answer has the episode " + literal(json_text::parse(*id)) + " twice");
      }
      seen.push_back(*id);
    }
  }
}

}  // namespace velko::dataset_replay
