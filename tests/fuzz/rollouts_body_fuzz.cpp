// The rollouts body written from compact predictions: whatever the sim's numbers, the node's
// episode identifiers and the column names, the body is the text that the general writer makes
// of the same body built as JSON values, read whole or in pieces of any size.
//
// Input: a byte of column count (0-3) and one of read size, then episodes until the input
// ends: a byte of identifier kind, a byte of rows, then 8 bytes per value, row by row (a
// pattern that is not a finite number stands for a value that could not be read).
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/json_text.h"
#include "main/dataset_replay/predictions.h"
#include "main/dataset_replay/rollouts_body.h"
#include "tests/fuzz/fuzz_support.h"

using velko::fuzz::check;
namespace dr = velko::dataset_replay;
namespace json = boost::json;

namespace {

// Takes bytes off the front of the input.
struct Input {
  const std::uint8_t* data;
  std::size_t left;

  bool byte(std::uint8_t& out) {
    if (left == 0) return false;
    out = *data++;
    --left;
    return true;
  }
  bool number(double& out) {
    if (left < sizeof out) return false;
    std::uint64_t bits;
    std::memcpy(&bits, data, sizeof bits);
    out = std::bit_cast<double>(bits);
    data += sizeof bits;
    left -= sizeof bits;
    return true;
  }
};

// An episode identifier of one of the kinds a node may give.
json::value identifier(std::uint8_t kind, std::size_t index) {
  switch (kind % 5) {
    case 0:
      return static_cast<std::int64_t>(index);
    case 1:
      return json::value(std::string("ep-\"") + std::to_string(index) + "\"\u00e9");
    case 2:
      return std::numeric_limits<std::uint64_t>::max() - index;
    case 3:
      return -0.5 * static_cast<double>(index);
    default:
      return json::array{static_cast<std::int64_t>(index), nullptr, "\x01"};
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  std::uint8_t n_columns = 0;
  std::uint8_t read_size = 0;
  if (!in.byte(n_columns) || !in.byte(read_size)) return 0;
  const std::vector<std::string> all = {"level", "p\u00e9 \"x\"", "c\\d"};
  const std::vector<std::string> columns(all.begin(), all.begin() + n_columns % 4);

  dr::RunPredictions compact(columns);
  json::array episodes;
  std::uint8_t kind = 0;
  std::uint8_t rows = 0;
  for (std::size_t index = 0; in.byte(kind) && in.byte(rows); ++index) {
    dr::EpisodePredictions episode(columns);
    for (std::uint8_t row = 0; row < rows; ++row) {
      for (std::size_t c = 0; c < columns.size(); ++c) {
        double value = 0;
        if (!in.number(value)) break;
        episode.append(c, std::isfinite(value) ? std::optional<double>(value) : std::nullopt);
      }
    }
    json::value id = identifier(kind, index);
    compact.add(id, episode);
    episodes.emplace_back(json::object{{"episode", id}, {"predictions", episode.to_json()}});
  }

  json::object head{{"dataset_uuid", "ds"}, {"max_lag_steps", 2}};
  json::object whole = head;
  whole["episodes"] = std::move(episodes);
  const std::string expected = velko::json_text::to_json(whole);

  dr::RolloutsBody body(head, std::make_shared<const dr::RunPredictions>(std::move(compact)));
  check(body.size() == expected.size(), "the body's size is not its text's");
  check(body.text() == expected, "the body is not the general writer's text");
  const std::size_t piece = std::size_t{read_size} * 97 + 1;
  velko::http::BodyPieces pieces = body.pieces();
  std::string read(piece, '\0');
  std::string out;
  for (std::size_t got; (got = pieces(read.data(), piece)) > 0;) out.append(read, 0, got);
  check(out == expected, "the body read in pieces is not its text");
  return 0;
}
