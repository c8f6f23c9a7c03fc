// The host's dataset module: the compute node's token, the form of dataset refs, and finding a
// dataset on the stand-in compute node.
#include "compute_node/dataset.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/async.h"
#include "dev/dev_node.h"
#include "dev/node_catalog.h"
#include "tests/support/report_fakes.h"
#include "tests/support/testing.h"

namespace velko::compute_node {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// The message of the std::invalid_argument that `fn` throws.
template <class Fn>
std::string refusal(Fn fn) {
  try {
    fn();
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "(no refusal)";
}

TEST(NodeToken, IsSentAsABearerHeaderWhenSet) {
  EXPECT_TRUE(node_auth_headers(std::nullopt).empty());
  EXPECT_TRUE(node_auth_headers("").empty());
  EXPECT_EQ(node_auth_headers("t0k.e_n"), (http::Headers{{"Authorization", "Bearer t0k.e_n"}}));
}

TEST(NodeToken, WithAControlCharacterIsRefusedNamingTheVariableNotTheToken) {
  for (std::string secret : {"s3cret\r\nX-Injected: 1", "s3cret\n", "s3cret\x7f", "\ts3cret"}) {
    std::string message = refusal([&] { node_auth_headers(secret); });
    EXPECT_EQ(message,
              "The compute node token (VELKO_NODE_TOKEN) holds a control character; set it to "
              "the token text alone");
    EXPECT_THAT(message, Not(HasSubstr("s3cret")));
  }
}

TEST(DatasetRef, OnlyTextsThatCanNameADatasetPass) {
  for (std::string ref : {"water-tank-runs", "Tank runs", ".", "..", "a/b", "caf\xc3\xa9", " "}) {
    EXPECT_EQ(dataset_ref_problem(ref), std::nullopt) << ref;
  }
  const std::string kGive = "; give the id or name of a dataset on the compute node";
  EXPECT_EQ(dataset_ref_problem(""), "is empty" + kGive);
  EXPECT_EQ(dataset_ref_problem("a\xff"), "is not UTF-8 text" + kGive);
  for (std::string ref : {std::string("a\nb"), std::string("a\tb"), std::string("a\0b", 3),
                          std::string("a\x7f"), std::string("a\xc2\x85")}) {
    EXPECT_EQ(dataset_ref_problem(ref), "holds a control character" + kGive);
  }
}

class NodeDatasetTest : public ::testing::Test {
 protected:
  // A node whose datasets are named "." and "..".
  void SetUp() override {
    const std::string columns = R"("csv": "rows.csv", "episode_column": "run", "columns": [)"
                                R"({"header": "level", "id": "level", "role": "sensor"},)"
                                R"({"header": "valve", "id": "valve", "role": "action"}]})";
    for (auto [folder, id, name] : {std::tuple{"one", "id-one", "."}, {"two", "id-two", ".."}}) {
      std::filesystem::create_directories(data_ / folder);
      testing::write_file(
          data_ / folder + "/dataset.json",
          std::string(R"({"id": ")") + id + R"(", "name": ")" + name + R"(", )" + columns);
      testing::write_file(data_ / folder + "/rows.csv", "run,level,valve\n1,0.5,1\n1,0.7,0\n");
    }
    node_ =
        std::make_unique<dev::DevNode>(dev::DatasetCatalog::load(data_.path()), dev::NodeOptions{});
    int port = node_->start("127.0.0.1", 0);
    datasets_ = std::make_unique<ComputeNodeDatasets>("http://127.0.0.1:" + std::to_string(port),
                                                      std::nullopt);
  }

  dataset_replay::LocalDataset resolve(const std::string& ref) {
    return async_to_sync([this, ref]() { return datasets_->resolve_local_dataset(ref); })();
  }

  testing::TempDir data_;
  std::unique_ptr<dev::DevNode> node_;
  std::unique_ptr<ComputeNodeDatasets> datasets_;
};

TEST_F(NodeDatasetTest, DotNamesFindTheirOwnDataset) {
  EXPECT_EQ(resolve(".").id, "id-one");
  EXPECT_EQ(resolve("..").id, "id-two");
}

TEST_F(NodeDatasetTest, RefThatCannotNameADatasetIsRefusedBeforeAsking) {
  node_->stop();  // nothing may be asked
  EXPECT_EQ(refusal([&] { resolve(""); }),
            "The dataset '' is empty; give the id or name of a dataset on the compute node");
}

}  // namespace
}  // namespace velko::compute_node
