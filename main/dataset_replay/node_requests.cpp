#include "main/dataset_replay/node_requests.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include <boost/json/array.hpp>

#include "common/http.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "common/refusal_detail.h"
#include "main/dataset_replay/actions_reader.h"
#include "main/dataset_replay/dataset_module.h"
#include "main/dataset_replay/run_context.h"

namespace velko::dataset_replay {

namespace {

// True for the statuses by which the node refuses an analysis the user can act on.
bool is_refusal(long status) {
  return status == 401 || status == 404 || status == 409 || status == 422;
}

// The transport error of a node request, saying that it is the compute node that failed.
[[noreturn]] void rethrow_for_node(const http::TransportError& error, const std::string& url) {
  std::string reason = error.what();
  std::string prefix = "Could not reach " + url + ": ";
  if (reason.compare(0, prefix.size(), prefix) == 0) reason.erase(0, prefix.size());
  if (dynamic_cast<const http::ResponseTooLarge*>(&error)) {
    throw http::ResponseTooLarge(
        url, "The compute node's answer from " + url + " was too large: it is larger than " +
                 std::to_string(MAX_NODE_ANSWER_BYTES >> 20) + " MiB and was not read");
  }
  throw http::TransportError(url, "Could not reach the compute node at " + url + ": " + reason);
}

// A POST to the node's `path`, bounded as every node request is; its body is for the caller
// to set.
http::Request node_request(const ComputeNode& node, const std::string& path, double timeout) {
  if (!std::isfinite(timeout) || timeout <= 0) {
    throw std::invalid_argument(
        "the compute node's time limit must be a positive number of "
        "seconds");
  }
  http::Request request;
  request.method = "POST";
  request.url = node.url + "/ml/" + path;
  request.headers = node.headers;
  request.headers.emplace_back("Content-Type", "application/json");
  request.connect_timeout_s = timeout;
  request.idle_timeout_s = timeout;
  request.total_timeout_s = NODE_REQUEST_DEADLINE_FACTOR * timeout;
  request.max_response_bytes = MAX_NODE_ANSWER_BYTES;
  return request;
}

// Raises a refusal of the node as PublishReportError and another error status as
// http::HTTPStatusError.
void check_answer(const http::Response& response, const std::string& url,
                  std::string_view what = "the analysis") {
  if (is_refusal(response.status)) {
    throw PublishReportError("The compute node refused " + std::string(what) + ": " +
                             refusal_detail(response.body, DetailKinds::kAny));
  }
  http::raise_for_status(response, url);
}

// The parse error of a success answer, saying whose answer it is.
[[noreturn]] void rethrow_not_json(const json_text::JsonError& error, const std::string& url) {
  throw json_text::JsonError("The compute node's answer from " + url +
                             " is not JSON: " + error.what());
}

// Sends a node request made by node_request and reads its answer, as node_post_blocking does.
boost::json::value post(const http::Request& request, std::stop_token stop, std::string_view what) {
  http::Response response;
  try {
    response = http::perform(request, stop);
  } catch (const http::TransportError& error) {
    rethrow_for_node(error, request.url);
  }
  check_answer(response, request.url, what);
  try {
    return json_text::parse(response.body);
  } catch (const json_text::JsonError& error) {
    rethrow_not_json(error, request.url);
  }
}

}  // namespace

ComputeNode compute_node(DatasetModule& datasets) {
  return ComputeNode{datasets.compute_url(), datasets.auth_headers()};
}

boost::json::value node_post_blocking(const ComputeNode& node, const std::string& path,
                                      const boost::json::object& body, double timeout,
                                      std::stop_token stop, std::string_view what) {
  http::Request request = node_request(node, path, timeout);
  request.body = json_text::to_json(body);
  return post(request, stop, what);
}

boost::json::value node_post_blocking(const ComputeNode& node, const std::string& path,
                                      const http::BodySource& body, double timeout,
                                      std::stop_token stop, std::string_view what) {
  http::Request request = node_request(node, path, timeout);
  request.body_source = body;
  return post(request, stop, what);
}

awaitable<boost::json::value> node_post(ComputeNode node, std::string path,
                                        std::shared_ptr<const boost::json::object> body,
                                        double timeout, std::string what) {
  // A named function, not a temporary inside the co_await: GCC 12 destroys a closure or an
  // aggregate made inside a co_await expression twice.
  std::function<boost::json::value(std::stop_token)> work =
      [node = std::move(node), path = std::move(path), body, timeout,
       what = std::move(what)](std::stop_token stop) {
        return node_post_blocking(node, path, *body, timeout, stop, what);
      };
  co_return co_await run_on_worker<boost::json::value>(std::move(work));
}

awaitable<boost::json::value> node_post(ComputeNode node, std::string path, http::BodySource body,
                                        double timeout, std::string what) {
  // Named, as above.
  std::function<boost::json::value(std::stop_token)> work =
      [node = std::move(node), path = std::move(path), body = std::move(body), timeout,
       what = std::move(what)](std::stop_token stop) {
        return node_post_blocking(node, path, body, timeout, stop, what);
      };
  co_return co_await run_on_worker<boost::json::value>(std::move(work));
}

namespace {

// The body of an "analysis-actions" request, {"dataset_uuid": ID, "episodes": [...]}, written
// as text at its size: a tree of JSON values took 24 bytes an episode more, and its text was
// made room for at 21 bytes an episode.
std::string actions_request_body(const std::string& dataset_id,
                                 const std::vector<std::int64_t>& episodes) {
  std::string head = "{\"dataset_uuid\":";
  json_text::write_string(head, dataset_id);
  head += ",\"episodes\":[";
  // The numbers' texts are measured first, so that the body is made at its size.
  char digits[24];
  std::size_t size = head.size() + 2 + (episodes.empty() ? 0 : episodes.size() - 1);
  for (std::int64_t episode : episodes) {
    size += static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, episode).ptr -
                                     digits);
  }
  std::string body;
  body.reserve(size);
  body += head;
  for (std::size_t i = 0; i < episodes.size(); ++i) {
    if (i > 0) body += ',';
    body.append(digits, std::to_chars(digits, digits + sizeof digits, episodes[i]).ptr);
  }
  body += "]}";
  return body;
}

}  // namespace

RecordedActions fetch_recorded_actions(const ComputeNode& node, const std::string& dataset_id,
                                       std::vector<std::int64_t> episodes, double timeout,
                                       std::stop_token stop) {
  http::Request request = node_request(node, "analysis-actions", timeout);
  request.body = actions_request_body(dataset_id, episodes);
  // The list of episodes is let go once the body is written, and the body once the answer has
  // come: an answer of many small episodes is not held beside them.
  ActionsReader reader(episodes.size());
  std::vector<std::int64_t>().swap(episodes);
  http::BodyStream stream;
  stream.on_piece = [&reader](std::string_view piece) { reader.write(piece); };
  try {
    http::Response response;
    try {
      response = http::perform_streaming(request, stream, stop);
    } catch (const http::TransportError& error) {
      rethrow_for_node(error, request.url);
    }
    check_answer(response, request.url);
    std::string().swap(request.body);
    return reader.finish();
  } catch (const json_text::JsonError& error) {
    rethrow_not_json(error, request.url);
  }
}

std::vector<std::int64_t> pick_episodes(std::int64_t n_episodes, std::int64_t max_episodes) {
  std::vector<std::int64_t> picked;
  if (n_episodes <= max_episodes) {
    for (std::int64_t i = 0; i < n_episodes; ++i) picked.push_back(i);
    return picked;
  }
  if (max_episodes == 1) return {0};
  if (max_episodes <= 0) return picked;
  double step = static_cast<double>(n_episodes - 1) / static_cast<double>(max_episodes - 1);
  picked.reserve(static_cast<std::size_t>(max_episodes));
  for (std::int64_t i = 0; i < max_episodes; ++i) {
    double rounded = std::nearbyint(static_cast<double>(i) * step);
    // Near the top of the integer range the double can exceed the last episode.
    std::int64_t episode = rounded >= static_cast<double>(n_episodes - 1)
                               ? n_episodes - 1
                               : static_cast<std::int64_t>(rounded);
    if (picked.empty() || picked.back() < episode) picked.push_back(episode);
  }
  return picked;
}

}  // namespace velko::dataset_replay
