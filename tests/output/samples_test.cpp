// Our sample output configurations load without a skipped element and together use the whole
// output description vocabulary.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "output/output_nodes.h"
#include "platform/text.h"
#include "support/vocabulary_documents.h"

namespace fs = std::filesystem;

namespace {

void CollectTags(const VexNode::CNode& node, std::set<std::u16string>* tags) {
  tags->insert(node.GetTagName());
  for (const VexNode::CNode* child : node.Children()) CollectTags(*child, tags);
}

}  // namespace

TEST(SampleOutputConfigurations, LoadWithoutASkippedElementAndUseEveryElement) {
  std::set<std::u16string> used;
  int files = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(SKYHELM_TEST_DATA))) {
    if (entry.path().extension() != ".dat") continue;
    SCOPED_TRACE(entry.path().string());
    ++files;
    vocabulary_test::RecordingFactory factory(VexNode::lumivoxdriver::RegisterOutputNodes);
    std::unique_ptr<VexNode::CNode> root;
    ASSERT_TRUE(vocabulary_test::ReadFile(entry.path().u16string(), &factory, &root));
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(factory.skipped.empty()) << platform::ToUtf8(factory.skipped.front());
    CollectTags(*root, &used);
  }
  EXPECT_GE(files, 2);
  vocabulary_test::RegistrationLog vocabulary;
  VexNode::lumivoxdriver::RegisterOutputNodes(&vocabulary);
  for (const auto& [tag, creator] : vocabulary.entries) {
    EXPECT_EQ(used.count(tag), 1u) << "no sample uses " << platform::ToUtf8(tag);
  }
}
