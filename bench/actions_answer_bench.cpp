// Reading the compute node's "analysis-actions" answer into compact storage, for the shapes
// that cost the most, each measured for
// - throughput: the answer handed to ActionsReader in 16 KiB pieces, as libcurl hands it on;
// - peak memory above idle: the growth of the peak resident set while one answer is read, in
//   a forked child whose peak is reset right before; printed beside the answer's size, twice
//   the size (the bound for answers of the usual shape) and the size plus 8 bytes per number
//   (the bound for any shape).
// Peers in the same run: the same usual answer read through a loopback compute node
// (fetch_recorded_actions, libcurl included), and read into a tree of JSON values, as the
// client read it before. The answers of many small episodes are fetched the whole way too,
// where what is held per episode beside the answer (the request's body, the list of
// episodes) counts most.
//
// Run: build/bin/actions_answer_bench   (each case repeats 5 times; see _median and _min)
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include <boost/json/value.hpp>

#include "common/json_text.h"
#include "main/dataset_replay/actions_reader.h"
#include "main/dataset_replay/node_requests.h"

namespace {

using velko::dataset_replay::ActionsReader;
using velko::dataset_replay::RecordedActions;

// Bytes that libcurl hands on at a time (CURL_MAX_WRITE_SIZE).
constexpr std::size_t kPieceBytes = 16 << 10;
constexpr int kRepetitions = 5;

// An answer's text, how many numbers it records in its columns, and how many episodes it has
// (the number asked for).
struct Answer {
  std::string text;
  std::size_t numbers = 0;
  std::size_t episodes = 0;
};

enum class Shape {
  kUsual,              // 25 episodes x 50,000 rows x 8 columns, readings with up to 7 decimals
  kZeros,              // 8 columns of 6.5 million zeros ("0,")
  kNulls,              // 8 columns of nulls, a number now and then
  kTinyEpisodes,       // 2.5 million episodes of 2 rows and 1 column
  kOneRowEpisodes,     // 500,000 episodes of 1 row and 12 columns, with text identifiers
  kOneNumberEpisodes,  // 500,000 episodes of 1 row and 1 column
  kOneRowColumns,      // 64 episodes x 100,000 columns of one row, all listed and named
  kLongKeys,           // 25,000 episodes x 8 columns of 4 rows with 500-byte identifiers
  kUnknownMembers,     // one small episode beside 120 MB of members no one reads
  kDeepUnknown,        // episodes padded with unknown members nested 200 deep
};

// Appends `n` in decimal.
void append_int(std::string& out, std::int64_t n) { out += std::to_string(n); }

// A recorded reading: up to 7 decimals, between -100 and 100.
void append_reading(std::string& out, std::mt19937& random) {
  std::uniform_real_distribution<double> uniform(-100, 100);
  velko::json_text::write_double(out, std::round(uniform(random) * 1e7) / 1e7);
}

// The answer's members after "episodes": the column lists and raw names of `columns`
// action columns named by `key` and one sensor column.
void append_columns(std::string& out, int columns, const std::function<std::string(int)>& key) {
  out += R"(],"sensor_variables":["s0"],"action_variables":[)";
  for (int c = 0; c < columns; ++c) {
    if (c) out += ',';
    velko::json_text::write_string(out, key(c));
  }
  out += R"(],"raw_names":{"s0":"Level")";
  for (int c = 0; c < columns; ++c) {
    out += ',';
    velko::json_text::write_string(out, key(c));
    out += R"(:"Action )";
    append_int(out, c);
    out += '"';
  }
  out += "}}";
}

// An answer of `episodes` episodes of `columns` columns of `rows` rows; `value` appends one
// value and says whether it was a number; `extra` appends members to each episode. With
// `text_ids`, the episodes are named by texts ("run-000017") rather than numbers.
Answer episodes_answer(int episodes, int columns, int rows,
                       const std::function<std::string(int)>& key,
                       const std::function<bool(std::string&)>& value,
                       const std::function<void(std::string&)>& extra = nullptr,
                       bool text_ids = false) {
  Answer answer;
  std::string& out = answer.text;
  out += R"({"episodes":[)";
  for (int e = 0; e < episodes; ++e) {
    if (e) out += ',';
    out += R"({"episode":)";
    if (text_ids) {
      std::string id = std::to_string(e);
      out += "\"run-" + std::string(6 - std::min<std::size_t>(id.size(), 6), '0') + id + '"';
    } else {
      append_int(out, e);
    }
    out += R"(,"n_rows":)";
    append_int(out, rows);
    if (extra) extra(out);
    out += R"(,"actions":{)";
    for (int c = 0; c < columns; ++c) {
      if (c) out += ',';
      velko::json_text::write_string(out, key(c));
      out += ":[";
      for (int r = 0; r < rows; ++r) {
        if (r) out += ',';
        answer.numbers += value(out);
      }
      out += ']';
    }
    out += "}}";
  }
  append_columns(out, columns, key);
  answer.episodes = static_cast<std::size_t>(episodes);
  return answer;
}

Answer make_answer(Shape shape) {
  std::mt19937 random(11);
  auto short_key = [](int c) { return "a" + std::to_string(c); };
  auto reading = [&](std::string& out) {
    if (random() % 64 == 0) {
      out += "null";
      return false;
    }
    append_reading(out, random);
    return true;
  };
  auto zero = [](std::string& out) {
    out += '0';
    return true;
  };
  switch (shape) {
    case Shape::kUsual:
      return episodes_answer(25, 8, 50000, short_key, reading);
    case Shape::kZeros:
      return episodes_answer(1, 8, 6500000, short_key, zero);
    case Shape::kNulls:
      return episodes_answer(20, 8, 130000, short_key, [&](std::string& out) {
        if (random() % 1000 == 0) return zero(out);
        out += "null";
        return false;
      });
    case Shape::kTinyEpisodes:
      return episodes_answer(2500000, 1, 2, short_key, zero);
    case Shape::kOneRowEpisodes:
      return episodes_answer(500000, 12, 1, short_key, reading, nullptr, true);
    case Shape::kOneNumberEpisodes:
      return episodes_answer(500000, 1, 1, short_key, zero);
    case Shape::kOneRowColumns:
      return episodes_answer(
          64, 100000, 1, [](int c) { return "action-" + std::to_string(c); }, zero);
    case Shape::kLongKeys:
      return episodes_answer(
          25000, 8, 4, [](int c) { return std::string(500, 'k') + std::to_string(c); }, zero);
    case Shape::kUnknownMembers: {
      Answer answer = episodes_answer(1, 8, 100, short_key, reading);
      // Numbers, texts and maps that are read past, as members of the answer and of an
      // episode.
      std::string blob = R"(,"summary":{"values":[)";
      for (int i = 0; i < 4000000; ++i) {
        if (i) blob += ',';
        append_reading(blob, random);
      }
      blob += R"(],"notes":[)";
      for (int i = 0; i < 400000; ++i) {
        if (i) blob += ',';
        blob += R"({"note":"a remark that nobody reads","at":[1,2,3]})";
      }
      blob += "]}";
      answer.text.insert(answer.text.size() - 1, blob);
      answer.text.insert(std::strlen(R"({"episodes":[{"episode":0)"), blob);
      return answer;
    }
    case Shape::kDeepUnknown: {
      std::string deep = R"(,"trace":)" + std::string(200, '[') + "1" + std::string(200, ']');
      return episodes_answer(80000, 8, 4, short_key, zero, [&](std::string& out) {
        for (int i = 0; i < 3; ++i) out += deep;
      });
    }
  }
  return {};
}

// The answer of the shape being measured; the previous shape's text is let go.
const Answer& answer_of(Shape shape) {
  static std::unique_ptr<Answer> held;
  static Shape held_shape;
  if (!held || held_shape != shape) {
    held.reset();
    held = std::make_unique<Answer>(make_answer(shape));
    held_shape = shape;
  }
  return *held;
}

RecordedActions read_in_pieces(const Answer& answer) {
  ActionsReader reader(answer.episodes);
  std::string_view text = answer.text;
  for (std::size_t at = 0; at < text.size(); at += kPieceBytes) {
    reader.write(text.substr(at, kPieceBytes));
  }
  return reader.finish();
}

// A field of /proc/self/status in kB ("VmHWM", "VmRSS"); -1 when unreadable.
long status_kb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0 && line[std::strlen(field)] == ':') {
      return std::stol(line.substr(std::strlen(field) + 1));
    }
  }
  return -1;
}

// The growth of the peak resident set while `work` runs, in bytes, measured in a forked child
// whose free heap is given back (so that reusing it does not hide growth) and whose peak is
// reset to its current size (clear_refs 5) right before; -1 when it cannot be measured.
double peak_growth_bytes(const std::function<void()>& work) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    long growth = -1;
    ::malloc_trim(0);
    {
      std::ofstream reset("/proc/self/clear_refs");
      reset << "5";
    }
    long before = status_kb("VmRSS");
    long base = status_kb("VmHWM");
    if (before > 0 && base <= before + 1024) {
      work();
      growth = status_kb("VmHWM") - before;
    }
    ssize_t written = ::write(fds[1], &growth, sizeof growth);
    ::_exit(written == sizeof growth ? 0 : 1);
  }
  ::close(fds[1]);
  long growth_kb = -1;
  if (::read(fds[0], &growth_kb, sizeof growth_kb) != sizeof growth_kb) growth_kb = -1;
  ::close(fds[0]);
  ::waitpid(child, nullptr, 0);
  return growth_kb < 0 ? -1 : static_cast<double>(growth_kb) * 1024;
}

// The counters of one measured read: the answer, the memory kept and the peak with its
// bounds.
void report(benchmark::State& state, const Answer& answer, double kept_bytes, double peak) {
  double size = static_cast<double>(answer.text.size());
  auto mb = [](double bytes) { return bytes / 1e6; };
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer.text.size()));
  state.counters["MB_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * mb(size), benchmark::Counter::kIsRate);
  state.counters["answer_MB"] = mb(size);
  state.counters["numbers_M"] = static_cast<double>(answer.numbers) / 1e6;
  state.counters["kept_MB"] = mb(kept_bytes);
  if (peak < 0) {
    state.SkipWithError("the peak resident set could not be measured");
    return;
  }
  double bound_any = size + 8 * static_cast<double>(answer.numbers);
  state.counters["peak_MB"] = mb(peak);
  state.counters["peak_x_answer"] = peak / size;
  state.counters["bound_2x_MB"] = mb(2 * size);
  state.counters["bound_size_8n_MB"] = mb(bound_any);
  state.counters["peak_x_bound_size_8n"] = peak / bound_any;
}

void BM_ReadActions(benchmark::State& state, Shape shape) {
  const Answer& answer = answer_of(shape);
  double peak = peak_growth_bytes([&] {
    RecordedActions actions = read_in_pieces(answer);
    benchmark::DoNotOptimize(actions);
  });
  double kept = 0;
  for (auto _ : state) {
    RecordedActions actions = read_in_pieces(answer);
    kept = static_cast<double>(actions.memory_bytes());
    benchmark::DoNotOptimize(actions);
  }
  report(state, answer, kept, peak);
}

#define READ_SHAPE(name, shape)                                                               \
  BENCHMARK_CAPTURE(BM_ReadActions, name, shape)                                              \
      ->Unit(benchmark::kMillisecond)                                                         \
      ->MinTime(1)                                                                            \
      ->Repetitions(kRepetitions)                                                             \
      ->ComputeStatistics(                                                                    \
          "min",                                                                              \
          [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }) \
      ->ReportAggregatesOnly(true)

READ_SHAPE(usual, Shape::kUsual);
READ_SHAPE(zeros, Shape::kZeros);
READ_SHAPE(nulls, Shape::kNulls);
READ_SHAPE(tiny_episodes, Shape::kTinyEpisodes);
READ_SHAPE(one_row_episodes, Shape::kOneRowEpisodes);
READ_SHAPE(one_number_episodes, Shape::kOneNumberEpisodes);
READ_SHAPE(one_row_columns, Shape::kOneRowColumns);
READ_SHAPE(long_keys, Shape::kLongKeys);
READ_SHAPE(unknown_members, Shape::kUnknownMembers);
READ_SHAPE(deep_unknown_members, Shape::kDeepUnknown);

// A loopback compute node that answers "analysis-actions" with `text`, 64 KiB at a time.
class LoopbackNode {
 public:
  explicit LoopbackNode(const std::string& text) {
    server_.Post("/ml/analysis-actions", [&text](const httplib::Request&, httplib::Response& out) {
      out.set_content_provider(
          text.size(), "application/json",
          [&text](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            return sink.write(text.data() + offset, std::min<std::size_t>(length, 64 << 10));
          });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LoopbackNode() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

// Fetches an answer from a loopback node: the whole way, the request and libcurl included.
RecordedActions fetch_usual(const Answer& answer, const std::string& url) {
  std::vector<std::int64_t> episodes(answer.episodes);
  for (std::size_t i = 0; i < episodes.size(); ++i) episodes[i] = static_cast<std::int64_t>(i);
  return velko::dataset_replay::fetch_recorded_actions(velko::dataset_replay::ComputeNode{url, {}},
                                                       "ds-1", std::move(episodes), 60);
}

// Peer: the whole request through a loopback node. The peak is measured with the node
// started in the child; it serves from the parent's text without copying it.
void BM_FetchUsualFromLoopbackNode(benchmark::State& state) {
  const Answer& answer = answer_of(Shape::kUsual);
  double peak = peak_growth_bytes([&] {
    LoopbackNode node(answer.text);
    RecordedActions actions = fetch_usual(answer, node.url());
    benchmark::DoNotOptimize(actions);
  });
  double kept = 0;
  {
    LoopbackNode node(answer.text);
    for (auto _ : state) {
      RecordedActions actions = fetch_usual(answer, node.url());
      kept = static_cast<double>(actions.memory_bytes());
      benchmark::DoNotOptimize(actions);
    }
  }
  report(state, answer, kept, peak);
}
// The whole request for answers of many small episodes, where what is kept per episode (the
// episodes asked for, the request's body) counts most. The node runs in the parent, so that
// the peak is the client's alone.
void BM_FetchFromLoopbackNode(benchmark::State& state, Shape shape) {
  const Answer& answer = answer_of(shape);
  LoopbackNode node(answer.text);
  double peak = peak_growth_bytes([&] {
    RecordedActions actions = fetch_usual(answer, node.url());
    benchmark::DoNotOptimize(actions);
  });
  double kept = 0;
  for (auto _ : state) {
    RecordedActions actions = fetch_usual(answer, node.url());
    kept = static_cast<double>(actions.memory_bytes());
    benchmark::DoNotOptimize(actions);
  }
  report(state, answer, kept, peak);
}
BENCHMARK_CAPTURE(BM_FetchFromLoopbackNode, one_row_episodes, Shape::kOneRowEpisodes)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_FetchFromLoopbackNode, one_number_episodes, Shape::kOneNumberEpisodes)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

BENCHMARK(BM_FetchUsualFromLoopbackNode)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ComputeStatistics("min",
                        [](const std::vector<double>& v) {
                          return *std::min_element(v.begin(), v.end());
                        })
    ->ReportAggregatesOnly(true);

// Peer: the usual answer read into a tree of JSON values, as it was before (the text itself
// was held as well).
void BM_ParseUsualIntoATree(benchmark::State& state) {
  const Answer& answer = answer_of(Shape::kUsual);
  double peak = peak_growth_bytes([&] {
    boost::json::value tree = velko::json_text::parse(answer.text);
    benchmark::DoNotOptimize(tree);
  });
  for (auto _ : state) {
    boost::json::value tree = velko::json_text::parse(answer.text);
    benchmark::DoNotOptimize(tree);
  }
  report(state, answer, 0, peak);
}
BENCHMARK(BM_ParseUsualIntoATree)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1)
    ->Repetitions(3)
    ->ComputeStatistics("min",
                        [](const std::vector<double>& v) {
                          return *std::min_element(v.begin(), v.end());
                        })
    ->ReportAggregatesOnly(true);

}  // namespace
