#include "tests/support/node_answers.h"

#include <gtest/gtest.h>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "common/errors.h"
#include "common/json_text.h"
#include "main/dataset_replay/actions_reader.h"

namespace velko::testing {

dataset_replay::RecordedActions recorded(const boost::json::value& answer, std::size_t asked) {
  return dataset_replay::read_recorded_actions(json_text::to_json(answer), asked);
}

boost::json::value answer_of(boost::json::value entry) {
  return boost::json::object{{"episodes", boost::json::array{std::move(entry)}},
                             {"sensor_variables", boost::json::array{}},
                             {"action_variables", boost::json::array{}},
                             {"raw_names", boost::json::object{}}};
}

std::string node_fault(const std::function<void()>& read) {
  try {
    read();
  } catch (const dataset_replay::NodeAnswerError& error) {
    try {
      std::rethrow_if_nested(error);
    } catch (const std::exception& cause) {
      std::string fault = type_name(cause) + ": " + cause.what();
      EXPECT_EQ(error.what(),
                "The compute node's \"analysis-actions\" answer is malformed (" + fault + ")");
      return fault;
    }
    return "(no cause)";
  }
  return "(no fault)";
}

}  // namespace velko::testing
