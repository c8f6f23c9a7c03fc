#include "cli/sim_commands/sim_publish.h"

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "cli/sim_commands/bundle.h"
#include "cli/sim_commands/command_options.h"
#include "cli/sim_commands/sim_list.h"
#include "cli/sim_commands/sim_validate.h"
#include "common/async.h"
#include "common/console.h"
#include "common/file_digest.h"
#include "common/literal.h"
#include "common/logging.h"
#include "compute_node/dataset.h"
#include "host/settings.h"
#include "main/dataset_replay/host_sim_module.h"
#include "main/dataset_replay/publish_report.h"
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

awaitable<void> publish(const host::Settings& settings, Console& console,
                        PublishOptions options) {
  // Everything that needs no server is checked first: a bad local input publishes nothing.
  if (!fs::is_directory(options.path)) {
    throw std::runtime_error(options.path + " is not a sim directory");
  }
  // The options themselves were checked with the command line.
  sim_connection::resolve_sim_command(options.path);
  std::optional<json::object> env_init;
  if (!options.env_init.empty()) env_init = env_init_object(options.env_init);
  // A token that would break the header line carrying it is refused before anything is sent
  // (the platform client refuses its own).
  compute_node::check_node_token(settings.node_token);
  platform::Client api(settings.url_api, settings.api_token, settings.project);
  sim_connection::SimComponents sim_components = sim_connection::load_sim_connection();
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
  // The report run, built from this command's settings, console and components.
  compute_node::ComputeNodeDatasets datasets(settings.compute_url, settings.node_token);
  spaces::CoreLibraryImpl core;
  std::shared_ptr<spdlog::logger> logger =
      logging::make_logger("velko.dataset_replay", settings.log_level);
  dataset_replay::Timings timings;
  timings.steps_ahead = settings.steps_ahead;
  timings.max_answer_bytes = static_cast<std::size_t>(options.max_answer_mib) << 20;
  timings.batching = settings.batching;
  const dataset_replay::ReportRun run{api,  datasets, *sim_components.host_sim,
                                      *sim_components.sims, core, console, *logger, timings};
  // The dataset is found on the node before the build is published: an unknown dataset, or a
  // node that is not running, leaves nothing on the platform.
  dataset_replay::LocalDataset dataset =
      co_await dataset_replay::prepare_report(run, org, options.dataset, report);

  platform::PublishedSim sim = co_await api.publish_sim(org, name, bundle_sha256);
  console.print("[green]✓[/green] Published " + escape_markup(quoted(sim.name)) +
                       " (build " + escape_markup(sim.implementation_id) + ")");
  co_await dataset_replay::publish_report(run, org, sim.sim_id, sim.name, sim.implementation_id,
                                          options.path, bundle_sha256, std::move(dataset),
                                          std::move(report));
}

}  // namespace

void add_sim_commands(CLI::App& app, const host::Settings& settings, Console& console) {
  CLI::App* sim = app.add_subcommand(
      "sim", "Sims: check one before publishing it, publish a build and report it against a "
             "dataset, list those on the platform");
  sim->require_subcommand(1);
  add_validate_command(*sim, settings, console);
  auto options = std::make_shared<PublishOptions>();
  CLI::App* command = sim->add_subcommand(
      "publish",
      "Publish the sim in PATH and make its simulation report against a dataset on the local "
      "compute node");
  command->add_option("path", options->path, "The sim's directory")->required();
  command->add_option("--dataset,-d", options->dataset,
                      "The dataset (id or name) on the compute node to replay through the sim")
      ->required()
      ->check(dataset_ref_check());
  command->add_option("--project", options->project,
                      "The use case (project id or name) to link the sim to; its report appears there");
  command->add_option("--name", options->name, "The sim's name (default: the directory's name)");
  command->add_option("--org", options->org,
                      "The organisation (default: VELKO_ORG, else that of your projects)");
  command->add_option("--max-episodes", options->max_episodes,
                      "Most episodes to replay, spread over the dataset")
      ->check(whole_number_check(1, INT_MAX, "20"))
      ->capture_default_str();
  command->add_option("--env-init", options->env_init,
                      "The sim's initial settings as a JSON object, e.g. '{\"seed\": 7}'")
      ->check(env_init_check());
  command->add_option("--call-timeout", options->call_timeout_s,
                      "Seconds that one sim call may take during the replay")
      ->check(call_timeout_check())
      ->capture_default_str();
  command->add_option("--seed", options->seed,
                      "Run seed: each episode's reset is seeded from it and the episode's id, "
                      "so that the same seed replays alike")
      ->check(whole_number_check(0, INT64_MAX, "7"))
      ->capture_default_str();
  add_max_answer_size(*command, options->max_answer_mib);
  command->callback(
      [&settings, &console, options] { async_to_sync(publish)(settings, console, *options); });
  add_list_command(*sim, settings, console);
}

}  // namespace velko::sim_commands
