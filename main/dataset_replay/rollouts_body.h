// The "sim-analyze-rollouts" request body, written from the run's compact predictions as it is
// sent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <boost/json/object.hpp>

#include "common/http.h"
#include "main/dataset_replay/predictions.h"

namespace velko::dataset_replay {

// Largest "sim-analyze-rollouts" body that is sent: the compute node takes no more.
inline constexpr std::uint64_t MAX_ROLLOUTS_BODY_BYTES = std::uint64_t{1} << 30;

// The body: its leading members, then "episodes", one {"episode", "predictions"} per replayed
// episode. Its text is, byte for byte, what json_text::to_json makes of the same body built
// as a JSON object, but it is never held whole: it is written a piece at a time as it is read.
// A handle: copies share the body.
class RolloutsBody {
 public:
  // `head`: the members before "episodes", in order (std::invalid_argument if it holds
  // "episodes"). The body is written once here to learn its size, so that it is known to be
  // whole before any of it is sent: one over `max_bytes` raises PublishReportError.
  RolloutsBody(const boost::json::object& head, std::shared_ptr<const RunPredictions> predictions,
               std::uint64_t max_bytes = MAX_ROLLOUTS_BODY_BYTES);

  // The body's size in bytes.
  std::uint64_t size() const;
  // The body's pieces from its first byte.
  http::BodyPieces pieces() const;
  // The body as a request sends it.
  http::BodySource source() const;
  // The whole body as one text.
  std::string text() const;

  struct Parts;

 private:
  std::shared_ptr<const Parts> parts_;
};

}  // namespace velko::dataset_replay
