#include "cli/sim_commands/command_options.h"

#include <charconv>
#include <cmath>
#include <set>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "common/json_text.h"
#include "common/literal.h"
#include "compute_node/dataset.h"
#include "main/dataset_replay/run_context.h"
#include "platform/client.h"

namespace velko::sim_commands {

namespace json = boost::json;

json::object env_init_object(const std::string& text) {
  json::value parsed;
  try {
    parsed = json_text::parse(text);
  } catch (const json_text::JsonError& error) {
    throw std::invalid_argument(std::string("is not valid JSON: ") + error.what());
  }
  if (!parsed.is_object()) {
    throw std::invalid_argument("must be a JSON object, such as '{\"seed\": 7}'");
  }
  return std::move(parsed.get_object());
}

CLI::Validator env_init_check() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (text.empty()) return "";
        try {
          env_init_object(text);
        } catch (const std::invalid_argument& error) {
          return error.what();
        }
        return "";
      },
      "");
}

CLI::Validator dataset_ref_check() {
  return CLI::Validator(
      [](std::string& ref) { return compute_node::dataset_ref_problem(ref).value_or(""); }, "");
}

CLI::Validator call_timeout_check() {
  return CLI::Validator(
      [](std::string& text) {
        double seconds = 0;
        if (CLI::detail::lexical_cast(text, seconds) && std::isfinite(seconds) && seconds > 0) {
          return std::string();
        }
        return "must be a number of seconds greater than 0, such as 30; got " + text;
      },
      "");
}

std::optional<std::string> sim_count_problem(const std::string& text) {
  if (text == "auto") return std::nullopt;
  int value = -1;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error == std::errc() && stop == end && value >= 1 &&
      value <= dataset_replay::MAX_SIM_PROCESSES) {
    return std::nullopt;
  }
  return "must be auto (one process a core) or a whole number from 1 to " +
         std::to_string(dataset_replay::MAX_SIM_PROCESSES) + ", not " + quoted(text);
}

int sim_count_of(const std::string& text, const std::string& what) {
  if (auto problem = sim_count_problem(text)) throw std::invalid_argument(what + " " + *problem);
  return text == "auto" ? 0 : std::stoi(text);
}

CLI::Validator sim_count_check() {
  return CLI::Validator(
      [](std::string& text) { return sim_count_problem(text).value_or(std::string()); }, "");
}

CLI::Validator whole_number_check(long long minimum, long long maximum,
                                  const std::string& example) {
  return CLI::Validator(
      [minimum, maximum, example](std::string& text) -> std::string {
        long long number = 0;
        bool whole = CLI::detail::lexical_cast(text, number);
        if (whole && number >= minimum && number <= maximum) return "";
        if (whole && number > maximum) {
          return "must be at most " + std::to_string(maximum) + "; got " + text;
        }
        std::string bound = minimum == 0 ? "a whole number of at least 0"
                            : minimum == 1
                                ? "a whole number greater than 0"
                                : "a whole number of at least " + std::to_string(minimum);
        return "must be " + bound + ", such as " + example + "; got " + text;
      },
      "");
}

void add_max_answer_size(CLI::App& command, int& mib) {
  const int most = static_cast<int>(dataset_replay::MAX_ANSWER_BYTES_LIMIT >> 20);
  command
      .add_option("--max-answer-size", mib,
                  "Most MiB that one answer of the sim may hold (a step's observation and the "
                  "rest of its answer), up to " +
                      std::to_string(most) + "; a larger answer fails its call")
      ->type_name("MIB")
      ->check(whole_number_check(1, most, "64"))
      ->capture_default_str();
}

awaitable<std::string> organisation(platform::Client& api, const std::string& given,
                                    const std::string& from_settings) {
  if (!given.empty()) co_return given;
  if (!from_settings.empty()) co_return from_settings;
  std::vector<platform::Project> projects = co_await api.list_projects();
  std::set<std::string> orgs;
  for (const auto& project : projects) orgs.insert(project.organization_id);
  if (orgs.size() == 1) co_return *orgs.begin();
  if (orgs.empty()) {
    throw std::runtime_error(
        "The platform lists no projects to take the organisation from; "
        "pass --org or set VELKO_ORG");
  }
  throw std::runtime_error(
      "Your projects belong to several organisations; pass --org or set "
      "VELKO_ORG to one of them");
}

}  // namespace velko::sim_commands
