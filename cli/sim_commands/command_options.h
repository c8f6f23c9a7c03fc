// What the host's sim and data commands share: the checks of their common options and the
// organisation they work in.
#pragma once

#include <optional>
#include <string>

#include <CLI/CLI.hpp>
#include <boost/json/object.hpp>

#include "common/async.h"

namespace velko::platform {
class Client;
}

namespace velko::sim_commands {

// The sim's initial settings from --env-init: a JSON object. Throws std::invalid_argument
// saying what is wrong.
boost::json::object env_init_object(const std::string& text);

// --env-init: a JSON object; an empty text gives none.
CLI::Validator env_init_check();

// A dataset given by its id or name on the compute node (`sim publish --dataset`, `data stats
// REF`): a text that can be one (compute_node::dataset_ref_problem).
CLI::Validator dataset_ref_check();

// --call-timeout: a finite number of seconds above 0 (nan, inf and 0 would end every call).
CLI::Validator call_timeout_check();

// A whole number from `minimum` to `maximum`, such as `example`, for options such as
// --max-episodes.
CLI::Validator whole_number_check(long long minimum, long long maximum, const std::string& example);

// Why `text` is not a count of sim processes as sim_count_of takes it ("must be auto ...");
// none when it is one.
std::optional<std::string> sim_count_problem(const std::string& text);

// A count of sim processes as VELKO_SIMS and `sim publish --sims` take it: "auto" (0: one a
// core, at most one an episode) or a whole number from 1 to MAX_SIM_PROCESSES; else
// std::invalid_argument naming `what`.
int sim_count_of(const std::string& text, const std::string& what);

// --sims: auto or a count of sim processes (sim_count_problem).
CLI::Validator sim_count_check();

// Adds --max-answer-size to a command that runs a sim: the most MiB that one answer of the
// sim may hold, into `mib` (whose value is the default), a whole number up to the client's
// bound.
void add_max_answer_size(CLI::App& command, int& mib);

// The organisation: `given` (--org), else `from_settings` (VELKO_ORG), else the one
// organisation of the user's projects. Throws std::runtime_error saying what to pass when
// there is none or several.
awaitable<std::string> organisation(platform::Client& api, const std::string& given,
                                    const std::string& from_settings);

}  // namespace velko::sim_commands
