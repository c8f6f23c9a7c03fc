#include "dev/dev_node.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <httplib.h>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/json_text.h"
#include "common/literal.h"
#include "common/unicode.h"
#include "dev/node_actions.h"
#include "dev/node_analysis.h"
#include "dev/node_request.h"
#include "dev/node_stats.h"

namespace velko::dev {

namespace json = boost::json;

namespace {

constexpr std::size_t kMaxTargetBytes = 8192;
constexpr std::string_view kDatasetsPrefix = "/datasets/";
constexpr std::string_view kActionsPath = "/ml/analysis-actions";
constexpr std::string_view kRolloutsPath = "/ml/sim-analyze-rollouts";
constexpr std::string_view kStatsPath = "/ml/dataset-stats";
// Largest body of a "dataset-stats" request.
constexpr std::size_t kMaxStatsBodyBytes = 64 * 1024;

// Sends a JSON text; large texts are handed over without a copy.
void write_json(httplib::Response& res, int status, std::string text) {
  res.status = status;
  if (text.size() < (std::size_t{1} << 20)) {
    res.set_content(text, "application/json");
    return;
  }
  auto shared = std::make_shared<std::string>(std::move(text));
  res.set_content_provider(
      shared->size(), "application/json",
      [shared](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        return sink.write(shared->data() + offset, length);
      });
}

// A dataset as GET /datasets shows it.
json::object dataset_body(const NodeDataset& dataset, const CountedDatasets& counted) {
  json::object body;
  body["id"] = dataset.id;
  body["name"] = dataset.name;
  if (episode_count_known(dataset, counted)) {
    json::object cycles;
    cycles["count"] = dataset.episodes.size();
    body["cycles"] = std::move(cycles);
  } else {
    body["cycles"] = nullptr;
  }
  body["rows"] = dataset.rows;
  return body;
}

}  // namespace

// The node's datasets and its server.
struct DevNode::Impl {
  DatasetCatalog catalog;
  NodeOptions options;
  BackgroundServer server;

  Impl(DatasetCatalog c, NodeOptions o)
      : catalog(std::move(c)),
        options(std::move(o)),
        server("compute node", [this](httplib::Server& s) { install(s); }) {}

  void install(httplib::Server& s);
  httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res);
  // The largest body of a POST to this path; 0 for paths that take none.
  std::size_t body_limit(std::string_view path) const;
  std::string get(std::string_view path) const;
  std::string post(std::string_view path, std::string_view body) const;

  // The datasets counted by "dataset-stats" since the node started.
  mutable CountedDatasets counted;
};

std::size_t DevNode::Impl::body_limit(std::string_view path) const {
  if (path == kActionsPath) return options.max_actions_body_bytes;
  if (path == kRolloutsPath) return options.max_rollouts_body_bytes;
  if (path == kStatsPath) return kMaxStatsBodyBytes;
  return 0;
}

// Answers GET /datasets and GET /datasets/<id or name>.
std::string DevNode::Impl::get(std::string_view path) const {
  if (path == "/datasets" || path == "/datasets/") {
    json::array list;
    for (const NodeDataset& dataset : catalog.datasets()) {
      list.push_back(dataset_body(dataset, counted));
    }
    return json_text::to_json(list);
  }
  if (path.starts_with(kDatasetsPrefix) &&
      path.find('/', kDatasetsPrefix.size()) == std::string_view::npos) {
    std::string ref = percent_decode(path.substr(kDatasetsPrefix.size()));
    const NodeDataset* dataset = catalog.find(ref);
    if (!dataset) {
      throw NodeRefusal(404,
                        "There is no dataset with the id or name " + quoted(ref) + " on this node");
    }
    return json_text::to_json(dataset_body(*dataset, counted));
  }
  if (body_limit(path) > 0) throw NodeRefusal(405, "Use POST for " + std::string(path));
  throw NodeRefusal(404,
                    "There is no such route; the node serves GET /datasets/<id or name>, "
                    "POST /ml/analysis-actions, POST /ml/sim-analyze-rollouts and "
                    "POST /ml/dataset-stats");
}

// Answers the two POST requests.
std::string DevNode::Impl::post(std::string_view path, std::string_view body) const {
  if (path == kActionsPath) return analysis_actions(catalog, body);
  if (path == kRolloutsPath) return json_text::to_json(analyze_rollouts(catalog, body));
  if (path == kStatsPath) return json_text::to_json(dataset_stats(catalog, body, counted));
  if (path.starts_with(kDatasetsPrefix) || path == "/datasets") {
    throw NodeRefusal(405, "Use GET for " + std::string(path));
  }
  throw NodeRefusal(404,
                    "There is no such route; the node serves GET /datasets/<id or name>, "
                    "POST /ml/analysis-actions, POST /ml/sim-analyze-rollouts and "
                    "POST /ml/dataset-stats");
}

// Sets up a server's handlers, bounds and log.
void DevNode::Impl::install(httplib::Server& s) {
  s.set_payload_max_length(
      std::max(options.max_actions_body_bytes, options.max_rollouts_body_bytes));
  s.set_pre_routing_handler(
      [this](const httplib::Request& req, httplib::Response& res) { return guard(req, res); });

  // Every path reaches one of these, which route by the raw target.
  auto answer = [](httplib::Response& res, const std::function<std::string()>& make) {
    try {
      write_json(res, 200, make());
    } catch (const NodeRefusal& refusal) {
      write_detail(res, refusal.status(), refusal.what());
    } catch (const std::bad_alloc&) {
      write_detail(res, 507, "The compute node ran out of memory for this request");
    }
  };
  const std::string any_path = "[\\s\\S]*";
  s.Get(any_path, [this, answer](const httplib::Request& req, httplib::Response& res) {
    answer(res, [&] { return get(target_path(req.target)); });
  });
  s.Post(any_path, [this, answer](const httplib::Request& req, httplib::Response& res,
                                  const httplib::ContentReader& reader) {
    std::string_view path = target_path(req.target);
    std::size_t limit = body_limit(path);
    std::string body;
    bool too_large = false;
    bool read = reader([&](const char* data, std::size_t size) {
      if (body.size() + size > limit) {
        too_large = limit > 0;
        return limit == 0;  // a route without a body: drain and ignore it
      }
      body.append(data, size);
      return true;
    });
    if (!read) {
      res.set_header("Connection", "close");
      if (too_large || res.status == 413) {
        write_detail(res, 413, fmt::format("The request body is larger than {} bytes", limit));
      } else {
        write_detail(res, 400, "The request body could not be read");
      }
      return;
    }
    answer(res, [&] { return post(path, body); });
  });
  auto not_allowed = [](const httplib::Request& req, httplib::Response& res) {
    write_detail(res, 405, "The compute node does not answer " + req.method + " requests");
  };
  s.Put(any_path, not_allowed);
  s.Delete(any_path, not_allowed);
  s.Patch(any_path, not_allowed);

  install_common_handlers(s, "compute node", options.log);
}

// Refuses what needs no body to be refused: over-long targets, missing or wrong tokens,
// bodies announced larger than their route takes.
httplib::Server::HandlerResponse DevNode::Impl::guard(const httplib::Request& req,
                                                      httplib::Response& res) {
  if (req.target.size() > kMaxTargetBytes) {
    return refuse_early(res, 414,
                        fmt::format("The request path is longer than {} bytes", kMaxTargetBytes));
  }
  if (options.token) {
    auto verdict = refuse_unless_token(
        req, res, *options.token, "This compute node needs a token: set VELKO_NODE_TOKEN",
        "The compute node did not accept the token; check VELKO_NODE_TOKEN");
    if (verdict == httplib::Server::HandlerResponse::Handled) return verdict;
  }
  if (req.method == "POST" && req.has_header("Content-Length")) {
    std::size_t limit = body_limit(target_path(req.target));
    std::string length = req.get_header_value("Content-Length");
    std::uint64_t announced = 0;
    auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), announced);
    bool too_large = error == std::errc::result_out_of_range ||
                     (error == std::errc() && limit > 0 && announced > limit);
    if (too_large) {
      return refuse_early(res, 413, fmt::format("The request body is larger than {} bytes", limit));
    }
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

DevNode::DevNode(DatasetCatalog catalog, NodeOptions options)
    : impl_(std::make_unique<Impl>(std::move(catalog), std::move(options))) {}

DevNode::~DevNode() { stop(); }

int DevNode::start(const std::string& host, int port) { return impl_->server.start(host, port); }

void DevNode::stop() { impl_->server.stop(); }

}  // namespace velko::dev
