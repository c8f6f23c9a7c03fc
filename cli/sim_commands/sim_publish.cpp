#include "cli/sim_commands/sim_publish.h"

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <fmt/format.h>
#include <CLI/CLI.hpp>
#include <boost/json.hpp>

#include "cli/sim_commands/bundle.h"
#include "cli/sim_commands/command_options.h"
#include "cli/sim_commands/sim_list.h"
#include "cli/sim_commands/sim_new.h"
#include "cli/sim_commands/sim_validate.h"
#include "common/async.h"
#include "common/console.h"
#include "common/file_digest.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "common/logging.h"
#include "compute_node/dataset.h"
#include "host/host.h"
#include "host/settings.h"
#include "main/dataset_replay/host_sim_module.h"
#include "main/dataset_replay/publish_report.h"
#include "main/dataset_replay/report_outcome.h"
#include "main/dataset_replay/report_run.h"
#include "main/dataset_replay/sim_connection.h"
#include "platform/client.h"
#include "sim_connection/sim_command.h"
#include "sim_connection/sim_loader.h"
#include "spaces/core_library_impl.h"

namespace velko::sim_commands {

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

struct PublishOptions {
  std::string path;
  std::string dataset;
  std::string project;
  std::string name;
  std::string org;
  int max_episodes = dataset_replay::DEFAULT_MAX_EPISODES;
  std::string env_init;
  double call_timeout_s = dataset_replay::DEFAULT_CALL_TIMEOUT_S;
  std::uint64_t seed = 0;
  int max_answer_mib = static_cast<int>(dataset_replay::DEFAULT_MAX_ANSWER_BYTES >> 20);
  // --json: one object on standard output at the end, the rest on standard error.
  bool json = false;
  // --min-score: the least score that passes.
  std::optional<double> min_score;
  // --sims: "auto" or a count; empty: VELKO_SIMS, else as the sim's description says.
  std::string sims;
};

// What `sim publish --json` tells beside the report run's outcome.
struct PublishRecord {
  std::string sim_name;
  std::string sim_id;
  std::string build_id;
  dataset_replay::ReportOutcome outcome;
};

// A temporary file removed when it goes out of scope.
class TemporaryFile {
 public:
  TemporaryFile() {
    std::string pattern = (fs::temp_directory_path() / "velko-bundle-XXXXXX").string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("cannot make a temporary file for the bundle");
    ::close(fd);
    path_ = pattern;
  }
  ~TemporaryFile() {
    std::error_code ec;
    fs::remove(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The project's id: --project takes an id or a name.
awaitable<std::string> project_id(platform::Client& api, const std::string& given) {
  std::vector<platform::Project> projects = co_await api.list_projects();
  co_return platform::find_project(projects, given, "--project").id;
}

awaitable<void> publish_run(const host::Settings& settings, Console& console,
                            PublishOptions options, PublishRecord& record) {
  // Everything that needs no server is checked first: a bad local input publishes nothing.
  if (!fs::is_directory(options.path)) {
    throw std::runtime_error(options.path + " is not a sim directory");
  }
  // The options themselves were checked with the command line.
  const sim_connection::SimCommand command = sim_connection::resolve_sim_command(options.path);
  std::optional<json::object> env_init;
  if (!options.env_init.empty()) env_init = env_init_object(options.env_init);
  // A token that would break the header line carrying it is refused before anything is sent
  // (the platform client refuses its own).
  compute_node::check_node_token(settings.node_token);
  platform::Client api(settings.url_api, settings.api_token, settings.project);
  sim_connection::SimComponents sim_components =
      sim_connection::load_sim_connection(settings.steps_ahead);
  std::string name = options.name.empty()
                         ? fs::absolute(options.path).lexically_normal().filename().string()
                         : options.name;
  if (name.empty()) name = "sim";

  // The sim must start, make its environment and have mappings that a replay can use before
  // anything is published or claimed.
  {
    ValidateOptions check;
    check.path = options.path;
    check.seed = options.seed;
    check.env_init = env_init.value_or(json::object());
    check.call_timeout_s = options.call_timeout_s;
    check.quick = true;
    std::shared_ptr<spdlog::logger> logger =
        logging::make_logger("velko.sim_validate", settings.log_level);
    const SimValidation parts{*sim_components.sims, *sim_components.host_sim, console, *logger};
    Validation found = co_await validate_sim(parts, std::move(check));
    if (!found.passed()) {
      std::string output;
      for (const CheckResult& result : found.checks) {
        if (result.outcome == Outcome::kFailed && !result.output.empty()) output = result.output;
      }
      throw std::runtime_error("The sim was not published: " + failed_checks_text(found) +
                               "; `velko sim validate " + options.path + "` runs every check" +
                               (output.empty() ? "" : "\n\n" + output));
    }
  }

  std::string bundle_sha256;
  {
    TemporaryFile bundle;
    pack_bundle(options.path, bundle.path());
    bundle_sha256 = sha256_file(bundle.path());
  }

  std::string org = co_await organisation(api, options.org, settings.org);
  dataset_replay::PublishReportOptions report;
  if (!options.project.empty()) report.project_id = co_await project_id(api, options.project);
  report.max_episodes = options.max_episodes;
  report.env_init = env_init;
  report.call_timeout_s = options.call_timeout_s;
  report.seed = options.seed;
  // One process of the sim unless --sims or VELKO_SIMS asks for more, or the sim's
  // description says that several may run (then one a core).
  if (!options.sims.empty()) {
    report.sims = sim_count_of(options.sims, "--sims");
  } else if (settings.sims) {
    report.sims = *settings.sims;
  } else if (command.several_processes) {
    report.sims = 0;
  }
  report.outcome = &record.outcome;
  // The report run, built from this command's settings, console and components.
  compute_node::ComputeNodeDatasets datasets(settings.compute_url, settings.node_token);
  spaces::CoreLibraryImpl core;
  std::shared_ptr<spdlog::logger> logger =
      logging::make_logger("velko.dataset_replay", settings.log_level);
  dataset_replay::Timings timings;
  timings.max_answer_bytes = static_cast<std::size_t>(options.max_answer_mib) << 20;
  timings.batching = settings.batching;
  const dataset_replay::ReportRun run{
      api,     datasets, *sim_components.host_sim, *sim_components.sims, core, console,
      *logger, timings};
  // The dataset is found on the node before the build is published: an unknown dataset, or a
  // node that is not running, leaves nothing on the platform.
  dataset_replay::LocalDataset dataset =
      co_await dataset_replay::prepare_report(run, options.dataset, report);

  platform::PublishedSim sim = co_await api.publish_sim(org, name, bundle_sha256);
  record.sim_name = sim.name;
  record.sim_id = sim.sim_id;
  record.build_id = sim.implementation_id;
  console.print("[green]✓[/green] Published " + escape_markup(quoted(sim.name)) + " (build " +
                escape_markup(sim.implementation_id) + ")");
  co_await dataset_replay::publish_report(run, org, sim.sim_id, sim.name, sim.implementation_id,
                                          options.path, bundle_sha256, std::move(dataset),
                                          std::move(report));
}

// The verdict of --min-score on a run's outcome: the line that says why it did not pass, or
// none when it passed.
std::optional<std::string> below_min_score(const dataset_replay::ReportOutcome& outcome,
                                           double min_score) {
  if (!outcome.score) {
    return fmt::format("Nothing could be scored, below --min-score {}", float_repr(min_score));
  }
  if (*outcome.score >= min_score) return std::nullopt;
  return fmt::format("The score {:.1f} is below --min-score {}", *outcome.score,
                     float_repr(min_score));
}

// `sim publish`: the run, then what --json and --min-score make of it.
awaitable<void> publish(const host::Settings& settings, Console& console, PublishOptions options) {
  // With --json, standard output holds the object alone: the rest goes to standard error.
  std::optional<Console> progress;
  if (options.json) progress.emplace(/*to_stderr=*/true, settings.color);
  Console& messages = options.json ? *progress : console;
  PublishRecord record;
  std::exception_ptr failure;
  try {
    co_await publish_run(settings, messages, options, record);
  } catch (...) {
    failure = std::current_exception();
  }
  // A run that failed for want of any score fails the gate as such; another failure is an
  // error as without the gate.
  std::optional<std::string> below;
  if (options.min_score && (!failure || (record.outcome.analyzed && !record.outcome.score))) {
    below = below_min_score(record.outcome, *options.min_score);
  }
  if (options.json) {
    json::object out;
    out["sim"] =
        record.sim_id.empty()
            ? json::value(nullptr)
            : json::value(json::object{
                  {"name", record.sim_name}, {"id", record.sim_id}, {"build", record.build_id}});
    for (auto& [key, value] : dataset_replay::outcome_json(record.outcome)) out[key] = value;
    out["min_score"] = options.min_score ? json::value(*options.min_score) : json::value(nullptr);
    out["passed"] = !failure && !below;
    out["error"] =
        failure ? json::value(dataset_replay::failure_reason(failure)) : json::value(nullptr);
    console.print(escape_markup(json_text::to_json(out)));
  }
  if (below) {
    if (failure) messages.print("Error: " + escape_markup(dataset_replay::failure_reason(failure)));
    messages.print("[red]✗ " + escape_markup(*below) + "[/red]");
    throw CLI::RuntimeError(host::kExitBelowMinScore);
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

void add_sim_commands(CLI::App& app, const host::Settings& settings, Console& console) {
  CLI::App* sim = app.add_subcommand(
      "sim",
      "Sims: start a new one, check one before publishing it, publish a build and "
      "report it against a dataset, list those on the platform");
  sim->require_subcommand(1);
  add_new_command(*sim, console);
  add_validate_command(*sim, settings, console);
  auto options = std::make_shared<PublishOptions>();
  CLI::App* command = sim->add_subcommand(
      "publish",
      "Publish the sim in PATH and make its simulation report against a dataset on the local "
      "compute node");
  command->add_option("path", options->path, "The sim's directory")->required();
  command
      ->add_option("--dataset,-d", options->dataset,
                   "The dataset (id or name) on the compute node to replay through the sim")
      ->required()
      ->check(dataset_ref_check());
  command->add_option(
      "--project", options->project,
      "The use case (project id or name) to link the sim to; its report appears there");
  command->add_option("--name", options->name, "The sim's name (default: the directory's name)");
  command->add_option("--org", options->org,
                      "The organisation (default: VELKO_ORG, else that of your projects)");
  command
      ->add_option("--max-episodes", options->max_episodes,
                   "Most episodes to replay, spread over the dataset")
      ->check(whole_number_check(1, INT_MAX, "20"))
      ->capture_default_str();
  command
      ->add_option("--env-init", options->env_init,
                   "The sim's initial settings as a JSON object, e.g. '{\"seed\": 7}'")
      ->check(env_init_check());
  command
      ->add_option("--call-timeout", options->call_timeout_s,
                   "Seconds that one sim call may take during the replay")
      ->check(call_timeout_check())
      ->capture_default_str();
  command
      ->add_option("--seed", options->seed,
                   "Run seed: each episode's reset is seeded from it and the episode's id, "
                   "so that the same seed replays alike")
      ->check(whole_number_check(0, INT64_MAX, "7"))
      ->capture_default_str();
  command
      ->add_option("--sims", options->sims,
                   "Processes of the sim to replay over, each episode wholly in one: a count "
                   "or auto (one a core, at most one an episode). Default: VELKO_SIMS, else 1, "
                   "or auto when the sim's velko-sim.json says \"several_processes\": true")
      ->check(sim_count_check());
  add_max_answer_size(*command, options->max_answer_mib);
  command->add_flag("--json", options->json,
                    "Print one JSON object (the sim, build, dataset, rows, score, sensors, "
                    "warnings, report, and any error) at the end; messages go to standard error");
  command
      ->add_option("--min-score", options->min_score,
                   "Exit with status 3 when the analysis scores below this (0 to 100), or "
                   "nothing could be scored, after the report is made as usual")
      ->check(CLI::Range(0.0, 100.0));
  command->callback(
      [&settings, &console, options] { async_to_sync(publish)(settings, console, *options); });
  add_list_command(*sim, settings, console);
}

}  // namespace velko::sim_commands
