// The two requests to the local compute node, and the episode choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "common/async.h"
#include "common/http.h"

#include "main/dataset_replay/recorded_actions.h"

namespace velko::dataset_replay {

// Largest node answer that is read; a larger one fails with http::ResponseTooLarge.
inline constexpr std::size_t MAX_NODE_ANSWER_BYTES = std::size_t{512} << 20;

// The whole of a compute-node request (sending the body, the node's work, reading the
// answer) is bounded by this many times its `timeout`.
inline constexpr double NODE_REQUEST_DEADLINE_FACTOR = 3;

class DatasetModule;

// Where the compute node is and the headers every request to it carries: read from the
// DatasetModule on the event loop, so that the blocking requests below need nothing else.
struct ComputeNode {
  std::string url;
  http::Headers headers;
};
ComputeNode compute_node(DatasetModule& datasets);

// Posts `body` to the node's URL + "/ml/" + path and returns the parsed answer. Blocking; run
// it on a worker thread. `timeout` (seconds) bounds the connection and each wait for data,
// NODE_REQUEST_DEADLINE_FACTOR × `timeout` the whole request.
// Refusals (401, 404, 409, 422) become PublishReportError "The compute node refused `what`:
// <detail>"; other error statuses raise http::HTTPStatusError, an unreachable node
// http::TransportError, a success answer that is not JSON json_text::JsonError. A stop request
// ends the transfer with Interrupted.
boost::json::value node_post_blocking(const ComputeNode& node, const std::string& path,
                                      const boost::json::object& body, double timeout,
                                      std::stop_token stop = {},
                                      std::string_view what = "the analysis");

// node_post_blocking with a body made as it is sent (a RolloutsBody's), whose size is known before
// any of it goes.
boost::json::value node_post_blocking(const ComputeNode& node, const std::string& path,
                                      const http::BodySource& body, double timeout,
                                      std::stop_token stop = {},
                                      std::string_view what = "the analysis");

// node_post_blocking on a worker thread, awaited from the event loop, which stays free
// meanwhile; an interrupt aborts the transfer and raises Interrupted.
awaitable<boost::json::value> node_post(ComputeNode node, std::string path,
                                        std::shared_ptr<const boost::json::object> body,
                                        double timeout, std::string what = "the analysis");
awaitable<boost::json::value> node_post(ComputeNode node, std::string path, http::BodySource body,
                                        double timeout, std::string what = "the analysis");

// Asks the node for the recorded actions of the dataset's `episodes` ("analysis-actions") and
// reads the answer into compact storage as it arrives, so that its text is never held whole.
// Blocking; run it on a worker thread. Fails as node_post_blocking does; an answer that holds more
// than was asked for, or a value over the bounds of ActionsReader, raises NodeAnswerError.
RecordedActions fetch_recorded_actions(const ComputeNode& node, const std::string& dataset_id,
                                       std::vector<std::int64_t> episodes, double timeout,
                                       std::stop_token stop = {});

// Up to `max_episodes` episode indexes spread evenly over `n_episodes`, ascending.
std::vector<std::int64_t> pick_episodes(std::int64_t n_episodes, std::int64_t max_episodes);

}  // namespace velko::dataset_replay
