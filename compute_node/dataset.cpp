#include "compute_node/dataset.h"

#include <stdexcept>

#include "common/errors.h"
#include "common/http_async.h"
#include "common/json_access.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "common/refusal_detail.h"
#include "common/unicode.h"

namespace velko::compute_node {

namespace json = boost::json;

namespace {

// A dataset description is small; anything larger is not one.
constexpr std::size_t kMaxDatasetAnswerBytes = 1u << 20;
constexpr std::string_view kWhat = "the compute node's dataset";

std::string text_of(const json::value& dataset, std::string_view key) {
  const json::value& value = json_access::at(dataset, key, kWhat);
  if (value.is_string()) return std::string(value.get_string());
  if (value.is_int64() || value.is_uint64()) return number_text(value);
  json_access::wrong_type(kWhat, key, "a text", value);
}

}  // namespace

void check_node_token(const std::optional<std::string>& token) {
  http::check_bearer_token(token, "The compute node token (VELKO_NODE_TOKEN)");
}

http::Headers node_auth_headers(const std::optional<std::string>& token) {
  check_node_token(token);
  http::Headers headers;
  if (token && !token->empty()) headers.emplace_back("Authorization", "Bearer " + *token);
  return headers;
}

ComputeNodeDatasets::ComputeNodeDatasets(std::string compute_url,
                                         std::optional<std::string> node_token)
    : compute_url_(std::move(compute_url)), node_token_(std::move(node_token)) {}

std::optional<std::string> dataset_ref_problem(std::string_view ref) {
  constexpr std::string_view kGive = "; give the id or name of a dataset on the compute node";
  if (ref.empty()) return "is empty" + std::string(kGive);
  if (unicode::invalid_utf8_at(ref)) return "is not UTF-8 text" + std::string(kGive);
  for (char32_t c : unicode::decode(ref)) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      return "holds a control character" + std::string(kGive);
    }
  }
  return std::nullopt;
}

awaitable<dataset_replay::LocalDataset> ComputeNodeDatasets::resolve_local_dataset(
    std::string dataset_ref) {
  if (std::optional<std::string> problem = dataset_ref_problem(dataset_ref)) {
    throw std::invalid_argument("The dataset " + quoted(dataset_ref) + " " + *problem);
  }
  http::Request request;
  request.url = compute_url_ + "/datasets/" + http::percent_encode(dataset_ref);
  request.headers = node_auth_headers(node_token_);
  request.connect_timeout_s = 10;
  request.idle_timeout_s = 30;
  request.total_timeout_s = 60;
  request.max_response_bytes = kMaxDatasetAnswerBytes;
  std::string url = request.url;
  http::Response response = co_await http::perform_awaited(
      std::move(request), "(is the compute node running? VELKO_COMPUTE_URL sets its address)");
  if (response.status == 404) {
    throw std::runtime_error("The compute node at " + compute_url_ + " has no dataset " +
                             quoted(dataset_ref) + ": " +
                             refusal_detail(response.body, DetailKinds::kAny));
  }
  if (response.status == 401 || response.status == 403) {
    throw std::runtime_error("The compute node at " + compute_url_ + " refused the request: " +
                             refusal_detail(response.body, DetailKinds::kAny) +
                             " (VELKO_NODE_TOKEN sets the node's token)");
  }
  http::raise_for_status(response, url);
  json::value answer;
  try {
    answer = json_text::parse(response.body);
  } catch (const json_text::JsonError& error) {
    throw BadAnswer("The compute node's answer to GET " + url + " is not JSON: " + error.what());
  }
  dataset_replay::LocalDataset dataset;
  dataset.id = text_of(answer, "id");
  dataset.name = text_of(answer, "name");
  const json::value* cycles = json_access::find(answer, "cycles", kWhat);
  if (!json_access::is_none(cycles)) {
    dataset_replay::LocalDataset::Cycles record;
    const json::value* count = json_access::find(*cycles, "count", "the dataset's \"cycles\"");
    if (!json_access::is_none(count)) {
      if (!count->is_int64() && !count->is_uint64()) {
        json_access::wrong_type("the dataset's \"cycles\"", "count", "an integer", *count);
      }
      record.count =
          count->is_int64()
              ? count->get_int64()
              : static_cast<std::int64_t>(std::min<std::uint64_t>(count->get_uint64(), INT64_MAX));
    }
    dataset.cycles = record;
  }
  co_return dataset;
}

}  // namespace velko::compute_node
