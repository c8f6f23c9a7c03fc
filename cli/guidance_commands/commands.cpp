#include "cli/guidance_commands/commands.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>
#include <boost/json.hpp>

#include "cli/guidance_commands/command_platform.h"
#include "common/async.h"
#include "common/console.h"
#include "common/json_text.h"
#include "common/literal.h"
#include "common/printable.h"
#include "common/unicode.h"
#include "main/guidance/manifest.h"
#include "main/guidance/publish.h"
#include "main/guidance/reward_file.h"
#include "main/guidance/scaffold.h"

namespace velko::guidance_commands {

namespace {

// Ends the command with exit status 1 when the input ended at a prompt: "Aborted!" on the
// session's error stream.
[[noreturn]] void abort_at_end_of_input(GuidanceSession& session) {
  // On a terminal the prompt's line was never ended: end it before the message.
  if (session.prompts_on_terminal) session.prompts << std::endl;
  session.errors << "Aborted!" << std::endl;
  throw CLI::RuntimeError(1);
}

// Asks for a value, offering `fallback`; an empty answer takes it. End of input aborts the
// command with exit status 1.
std::string prompt(GuidanceSession& session, const std::string& text, const std::string& fallback) {
  session.prompts << text << " [" << fallback << "]: " << std::flush;
  std::string answer;
  if (!std::getline(session.input, answer)) abort_at_end_of_input(session);
  if (!answer.empty() && answer.back() == '\r') answer.pop_back();
  return answer.empty() ? fallback : answer;
}

// The value of an option given on the command line, or the user's answer to its prompt.
std::string given_or_asked(GuidanceSession& session, const CLI::Option* option,
                           const std::string& text, const std::string& fallback) {
  if (option->count() > 0) return option->as<std::string>();
  return prompt(session, text, fallback);
}

// Prints a manifest error in red and ends the command with exit status 1.
[[noreturn]] void fail_in_red(GuidanceSession& session,
                              const guidance::GuidanceManifestError& error) {
  session.console.print("[red]" + escape_markup(printable(error.what())) + "[/red]");
  throw CLI::RuntimeError(1);
}

// The project the user picks (cli_select), asked through the session's streams when there is
// a choice; the end of input at its prompt aborts the command as at any prompt.
awaitable<Project> select_project(GuidanceSession& session, Platform& api) {
  const Prompts prompts{session.input, session.prompts, session.errors,
                        session.interactive && session.prompts_on_terminal};
  bool aborted = false;
  Project project;
  try {
    project = co_await api.cli_select(prompts);
  } catch (const PromptAborted&) {
    aborted = true;
  }
  if (aborted) abort_at_end_of_input(session);
  co_return project;
}

// The platform client of one run, made by the session's factory with the platform address.
std::unique_ptr<Platform> make_platform(GuidanceSession& session) {
  if (!session.make_platform) {
    throw std::runtime_error("the guidance commands were given no way to make a platform client");
  }
  std::unique_ptr<Platform> api = session.make_platform(session.url_api);
  if (!api) throw std::runtime_error("the platform client factory made no client");
  return api;
}

void new_command(GuidanceSession& session, const std::string& name, const std::string& kind,
                 const std::string& location) {
  std::string directory;
  try {
    directory = guidance::create(name, kind, location);
  } catch (const guidance::GuidanceManifestError& error) {
    fail_in_red(session, error);
  }
  session.console.print("Created " + escape_markup(printable_name(directory)) +
                        ". Edit its guidance.json, then run `velko guidance publish` from it.");
}

// Refuses a reward file from outside the item directory that the user has not allowed: says
// why and what to do, and ends the command with exit status 1, with nothing sent.
[[noreturn]] void refuse_outside_file(GuidanceSession& session,
                                      const guidance::RewardFileLocation& location) {
  session.console.print(
      "[red]" +
      escape_markup(guidance::outside_text(location) +
                    "; nothing was sent. Move the file into the item directory, or give "
                    "--allow-outside-file to send it anyway.") +
      "[/red]");
  throw CLI::RuntimeError(1);
}

// Asks the user before a reward file from outside the item directory is sent (no is the
// default); without a terminal there is no one to ask, so it is refused. A yes allows that
// one file, by its resolved path; a refusal prints why and ends the command with exit
// status 1, with nothing sent.
guidance::OutsideFileConsent confirm_outside_file(GuidanceSession& session,
                                                  const guidance::RewardFileLocation& location) {
  if (!session.interactive) refuse_outside_file(session, location);
  session.prompts << guidance::outside_text(location)
                  << ".\nSend it to the platform anyway? [y/N]: " << std::flush;
  std::string answer;
  if (!std::getline(session.input, answer)) abort_at_end_of_input(session);
  answer = unicode::lower(unicode::trim(answer));
  if (answer != "y" && answer != "yes") {
    session.console.print("Nothing was sent.");
    throw CLI::RuntimeError(1);
  }
  return guidance::OutsideFileConsent{false, location.resolved};
}

awaitable<void> _publish(GuidanceSession& session, std::string path, bool allow_outside_file) {
  std::optional<guidance::RewardFileLocation> reward;
  try {
    // Only tests the directory, before a client is made or a project chosen.
    guidance::GuidanceManifest manifest = guidance::read_manifest(path);
    if (manifest.reward_file) reward = guidance::locate_reward_file(path, *manifest.reward_file);
  } catch (const guidance::GuidanceManifestError& error) {
    fail_in_red(session, error);
  }
  guidance::OutsideFileConsent consent{allow_outside_file, {}};
  if (reward && !reward->inside && !allow_outside_file) {
    consent = confirm_outside_file(session, *reward);
  }
  std::unique_ptr<Platform> api = make_platform(session);
  Project project = co_await select_project(session, *api);
  // The file is checked again as it is read: one that has moved outside since, or to
  // another place than the one the user allowed, is refused.
  std::optional<guidance::RewardFileLocation> moved;
  std::pair<guidance::GuidanceItem, bool> published;
  try {
    published =
        co_await guidance::publish(*api, path, project.organization_id, project.id, consent);
  } catch (const guidance::RewardFileOutsideError& error) {
    moved = error.location();
  }
  if (moved) refuse_outside_file(session, *moved);
  auto& [item, created] = published;
  std::string verb = created ? "Published" : "Updated";
  session.console.print(verb + " the " + escape_markup(printable_name(item.type.value)) + " " +
                        escape_markup(velko::quoted(item.name)) +
                        " (uuid: " + escape_markup(printable_name(item.id)) + ")");
}

awaitable<void> _list(GuidanceSession& session, bool as_json) {
  std::unique_ptr<Platform> api = make_platform(session);
  Project project = co_await select_project(session, *api);
  std::vector<guidance::GuidanceItem> items =
      co_await api->list_guidance(project.organization_id, project.id);
  if (as_json) {
    // One object on standard output, for a program to read.
    boost::json::array listed;
    for (const auto& item : items) {
      listed.push_back(
          boost::json::object{{"name", item.name}, {"type", item.type.value}, {"uuid", item.id}});
    }
    boost::json::object out{
        {"project", boost::json::object{{"id", project.id}, {"name", project.name}}},
        {"items", std::move(listed)}};
    session.console.print(escape_markup(json_text::to_json(out)));
    co_return;
  }
  Table table;
  table.columns = {"Name", "Type", "UUID"};
  for (const auto& item : items) {
    table.rows.push_back(
        {escape_markup(item.name), escape_markup(item.type.value), escape_markup(item.id)});
  }
  session.console.print_table(table);
}

std::shared_ptr<CLI::App> make_group(GuidanceSession& session) {
  auto group = std::make_shared<CLI::App>();

  CLI::App* create = group->add_subcommand(
      "new", "Create a new guidance item directory (guidance.json, and reward.py for a reward)");
  CLI::Option* name = create->add_option("-n,--name", "The item's name [my-guidance]");
  CLI::Option* kind = create->add_option(
      "-t,--type", "The item's type: goal, constraint, successCriteria or reward [constraint]");
  CLI::Option* location =
      create->add_option("-l,--location", "Where to make the item's directory [./]");
  // Given twice, an option takes its last value.
  for (CLI::Option* option : {name, kind, location}) {
    option->type_name("TEXT")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }
  create->callback([&session, name, kind, location] {
    // Asked in this order, each only when not given.
    std::string name_value = given_or_asked(session, name, "Name", "my-guidance");
    std::string kind_value =
        given_or_asked(session, kind, "Type (" + guidance::types_list() + ")", "constraint");
    std::string location_value = given_or_asked(session, location, "Location", "./");
    new_command(session, name_value, kind_value, location_value);
  });

  CLI::App* publish = group->add_subcommand(
      "publish",
      "Publish a guidance item to a project's guidance library (updates the item with the same "
      "name and type)");
  CLI::Option* path =
      publish->add_option("path", "Path to the guidance item (positional argument)");
  CLI::Option* path_option = publish->add_option("-p,--path", "Path to the guidance item (option)");
  path->type_name("TEXT");
  path_option->type_name("TEXT")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  CLI::Option* allow_outside =
      publish->add_flag("--allow-outside-file")
          ->description(std::string(
              "Send a reward file that lies outside the item directory (after following links) "
              "without asking"));
  publish->callback([&session, path, path_option, allow_outside] {
    // A given option wins, even when it is the empty string.
    std::string final_path = path_option->count() > 0 ? path_option->as<std::string>()
                             : path->count() > 0      ? path->as<std::string>()
                                                      : std::string("./");
    async_to_sync(_publish)(session, final_path, allow_outside->count() > 0);
  });

  CLI::App* list = group->add_subcommand("list", "List the guidance items in a project");
  auto list_json = std::make_shared<bool>(false);
  list->add_flag("--json", *list_json,
                 "Print one JSON object (the project and its items) instead of the table");
  list->callback([&session, list_json] { async_to_sync(_list)(session, *list_json); });

  return group;
}

}  // namespace

std::shared_ptr<CLI::App> cli(GuidanceSession& session) { return make_group(session); }

CLI::App* mount(CLI::App& parent, GuidanceSession& session, const std::string& name) {
  return parent.add_subcommand(cli(session))->name(name);
}

}  // namespace velko::guidance_commands
