#include "main/dataset_replay/rollouts_body.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "common/json_text.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {

namespace {

// Bytes written at a time (more when one identifier or column name is longer).
constexpr std::size_t kPieceBytes = std::size_t{64} << 10;

}  // namespace

struct RolloutsBody::Parts {
  // The text up to the first episode: `{...,"episodes":[`.
  std::string head;
  // Per column, its name as a JSON key and the opening of its list: `"name":[`.
  std::vector<std::string> keys;
  std::shared_ptr<const RunPredictions> predictions;
  std::uint64_t size = 0;
};

namespace {

// Writes the body a piece at a time, from its first byte.
class BodyWriter {
 public:
  explicit BodyWriter(std::shared_ptr<const RolloutsBody::Parts> parts)
      : parts_(std::move(parts)), reader_(*parts_->predictions) {
    piece_.reserve(kPieceBytes + 64);
  }

  // The body's next piece; empty at its end.
  std::string_view next_piece() {
    piece_.clear();
    while (piece_.size() < kPieceBytes && stage_ != Stage::kEnd) step();
    return piece_;
  }

  // Copies the body's next bytes, up to `n`, to `out`; 0 at its end.
  std::size_t read(char* out, std::size_t n) {
    std::size_t copied = 0;
    while (copied < n) {
      if (offset_ == piece_.size()) {
        next_piece();
        offset_ = 0;
        if (piece_.empty()) break;
      }
      std::size_t part = std::min(n - copied, piece_.size() - offset_);
      std::memcpy(out + copied, piece_.data() + offset_, part);
      offset_ += part;
      copied += part;
    }
    return copied;
  }

 private:
  enum class Stage { kHead, kEpisode, kColumn, kValues, kEnd };

  // Writes the next part of the body: the head, an episode's opening, a column's opening or
  // end, or values of a column up to the piece's size.
  void step() {
    switch (stage_) {
      case Stage::kHead:
        piece_ += parts_->head;
        stage_ = Stage::kEpisode;
        return;
      case Stage::kEpisode:
        if (!reader_.next_episode(id_)) {
          piece_ += "]}";
          stage_ = Stage::kEnd;
          return;
        }
        if (episodes_++ > 0) piece_ += ',';
        piece_ += "{\"episode\":";
        piece_ += id_;
        piece_ += ",\"predictions\":{";
        column_ = 0;
        stage_ = Stage::kColumn;
        return;
      case Stage::kColumn:
        if (column_ == parts_->keys.size()) {
          piece_ += "}}";
          stage_ = Stage::kEpisode;
          return;
        }
        if (column_ > 0) piece_ += ',';
        piece_ += parts_->keys[column_];
        values_left_ = reader_.next_column();
        first_value_ = true;
        stage_ = Stage::kValues;
        return;
      case Stage::kValues:
        for (; values_left_ > 0 && piece_.size() < kPieceBytes; --values_left_) {
          if (!first_value_) piece_ += ',';
          first_value_ = false;
          if (std::optional<double> value = reader_.next_value()) {
            json_text::write_double(piece_, *value);
          } else {
            piece_ += "null";
          }
        }
        if (values_left_ == 0) {
          piece_ += ']';
          ++column_;
          stage_ = Stage::kColumn;
        }
        return;
      case Stage::kEnd:
        return;
    }
  }

  std::shared_ptr<const RolloutsBody::Parts> parts_;
  RunPredictions::Reader reader_;
  Stage stage_ = Stage::kHead;
  std::string piece_;
  std::size_t offset_ = 0;  // of the next byte of piece_ that read() hands on
  std::string id_;
  std::size_t episodes_ = 0;
  std::size_t column_ = 0;
  std::uint64_t values_left_ = 0;
  bool first_value_ = true;
};

std::string mib_text(std::uint64_t bytes) {
  return std::to_string((bytes + (std::uint64_t{1} << 20) - 1) >> 20) + " MiB";
}

}  // namespace

RolloutsBody::RolloutsBody(const boost::json::object& head,
                           std::shared_ptr<const RunPredictions> predictions,
                           std::uint64_t max_bytes) {
  if (head.contains("episodes")) {
    throw std::invalid_argument("the head of the rollouts body holds \"episodes\"");
  }
  auto parts = std::make_shared<Parts>();
  parts->head = json_text::to_json(head);
  parts->head.pop_back();  // the closing brace
  parts->head += head.empty() ? "\"episodes\":[" : ",\"episodes\":[";
  for (const std::string& column : predictions->columns()) {
    std::string key;
    json_text::write_string(key, column);
    key += ":[";
    parts->keys.push_back(std::move(key));
  }
  parts->predictions = std::move(predictions);

  BodyWriter writer(parts);
  for (std::string_view piece = writer.next_piece(); !piece.empty(); piece = writer.next_piece()) {
    parts->size += piece.size();
    if (parts->size > max_bytes) {
      throw PublishReportError(
          "The predictions of " + std::to_string(parts->predictions->episode_count()) +
          " episodes make a request of more than " + mib_text(max_bytes) +
          ", which the compute node does not take; replay fewer episodes with --max-episodes");
    }
  }
  parts_ = std::move(parts);
}

std::uint64_t RolloutsBody::size() const { return parts_->size; }

http::BodyPieces RolloutsBody::pieces() const {
  auto writer = std::make_shared<BodyWriter>(parts_);
  return [writer](char* out, std::size_t n) { return writer->read(out, n); };
}

http::BodySource RolloutsBody::source() const {
  http::BodySource source;
  source.size = parts_->size;
  source.open = [body = *this] { return body.pieces(); };
  return source;
}

std::string RolloutsBody::text() const {
  std::string out;
  out.reserve(parts_->size);
  BodyWriter writer(parts_);
  for (std::string_view piece = writer.next_piece(); !piece.empty(); piece = writer.next_piece()) {
    out += piece;
  }
  return out;
}

}  // namespace velko::dataset_replay
