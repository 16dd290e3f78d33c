// Our sample profiles: each loads without a skipped element, together they use the whole
// vocabulary, and the committed documents match their UTF-8 sources.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/text.h"
#include "profile/profile_nodes.h"
#include "support/vocabulary_documents.h"

namespace profile = VexNode::profile;
namespace fs = std::filesystem;
using vocabulary_test::RecordingFactory;
using vocabulary_test::RegistrationLog;

namespace {

const fs::path kData = fs::path(SKYHELM_TEST_DATA);

std::vector<fs::path> FilesBelow(const fs::path& folder, const std::string& extension) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file() && entry.path().extension() == extension) files.push_back(entry.path());
  }
  return files;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void CollectTags(const VexNode::CNode& node, std::set<std::u16string>* tags) {
  tags->insert(node.GetTagName());
  for (const VexNode::CNode* child : node.Children()) CollectTags(*child, tags);
}

}  // namespace

TEST(SampleProfiles, EachLoadsWithoutASkippedElementAndTogetherTheyUseEveryElement) {
  const std::vector<fs::path> files = FilesBelow(kData / "profiles", ".pr0");
  ASSERT_GE(files.size(), 5u);
  std::set<std::u16string> used;
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    RecordingFactory factory(profile::RegisterProfileNodes);
    std::unique_ptr<VexNode::CNode> root;
    ASSERT_TRUE(vocabulary_test::ReadFile(file.u16string(), &factory, &root));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->GetTagName(), profile::kTagProfile);
    EXPECT_TRUE(factory.skipped.empty()) << platform::ToUtf8(factory.skipped.front());
    CollectTags(*root, &used);
  }
  RegistrationLog vocabulary;
  profile::RegisterProfileNodes(&vocabulary);
  for (const auto& [tag, creator] : vocabulary.entries) {
    EXPECT_EQ(used.count(tag), 1u) << "no sample uses " << platform::ToUtf8(tag);
  }
}

// The summary's vocabulary must give the very tree of the full one (FindNode and every walk
// depend on it) and the real node class wherever the summary reads fields.
TEST(SampleProfiles, TheSummaryVocabularyBuildsTheSameTreeWithTheFieldsTheSummaryReads) {
  const std::set<std::u16string> read_by_summary = {
      profile::kTagProfile,        profile::kTagControllers,  profile::kTagController,    profile::kTagMember,
      profile::kTagControls,       profile::kTagAxis,         profile::kTagButton,        profile::kTagHat,
      profile::kTagMouseAxis,      profile::kTagMinistick,    profile::kTagSlider,        profile::kTagMousePointer,
      profile::kTagShifts,         profile::kTagShift,        profile::kTagSelectionSet,  profile::kTagButtonCombo,
      profile::kTagButtonHid,      profile::kTagCommands,     profile::kTagActionCommand, profile::kTagTemporalCommand,
      profile::kTagCycleCommand};
  size_t bare = 0;
  for (const fs::path& file : FilesBelow(kData / "profiles", ".pr0")) {
    SCOPED_TRACE(file.string());
    VexNode::CFactory full_factory;
    VexNode::CFactory summary_factory;
    profile::RegisterProfileNodes(&full_factory);
    profile::RegisterProfileSummaryNodes(&summary_factory);
    std::unique_ptr<VexNode::CNode> full;
    std::unique_ptr<VexNode::CNode> summary;
    ASSERT_TRUE(vocabulary_test::ReadFile(file.u16string(), &full_factory, &full));
    ASSERT_TRUE(vocabulary_test::ReadFile(file.u16string(), &summary_factory, &summary));
    std::vector<std::pair<const VexNode::CNode*, const VexNode::CNode*>> pending = {{full.get(), summary.get()}};
    while (!pending.empty()) {
      const auto [a, b] = pending.back();
      pending.pop_back();
      ASSERT_EQ(a->GetTagName(), b->GetTagName());  // the same tag constant, not only the same text
      ASSERT_EQ(a->Children().size(), b->Children().size()) << platform::ToUtf8(a->GetTagName());
      if (read_by_summary.count(a->GetTagName()) != 0) {
        EXPECT_EQ(typeid(*a), typeid(*b)) << platform::ToUtf8(a->GetTagName());
      } else if (typeid(*a) != typeid(*b)) {
        ++bare;
      }
      for (size_t i = 0; i < a->Children().size(); ++i) pending.emplace_back(a->Children()[i], b->Children()[i]);
    }
  }
  EXPECT_GT(bare, 0u);  // the elements the summary has no use for are thinned out
}

TEST(SampleProfiles, TheDemoFolderHasSubFoldersAndANameLongerThanADisplayLine) {
  const std::vector<fs::path> files = FilesBelow(kData / "profiles", ".pr0");
  std::set<fs::path> folders;
  bool long_name = false;
  for (const fs::path& file : files) {
    folders.insert(file.parent_path());
    long_name = long_name || file.stem().u16string().size() > 16;
  }
  EXPECT_GE(folders.size(), 4u);  // the root and at least three sub-folders
  EXPECT_TRUE(long_name);
}

TEST(SampleProfiles, TheSimulatedControllerFindsItsControllerInTheSample) {
  RecordingFactory factory(profile::RegisterProfileNodes);
  std::unique_ptr<VexNode::CNode> root;
  ASSERT_TRUE(vocabulary_test::ReadFile(
      (kData / "profiles" / "General Aviation" / "Cessna 172 Skyhawk.pr0").u16string(), &factory, &root));
  platform::Guid member;
  ASSERT_TRUE(platform::ParseGuid(u"{4A7D2E91-3B6C-4F80-A1D5-9E8C7B6A5F40}", &member));
  const profile::CControllerNode* controller = profile::FindController(root.get(), &member, nullptr);
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(controller->group, u"Throttle Quadrant");
  const auto* blast = static_cast<const profile::CBlastNode*>(VexNode::FindNode(root.get(), profile::kTagBlast));
  ASSERT_NE(blast, nullptr);
  EXPECT_EQ(blast->data, u"MASTER=OFF;AVIONICS=OFF;");
}

// The committed documents are generated by tools/encode-documents.py; a source edited without
// running it shows up here.
TEST(SampleDocuments, MatchTheirUtf8Sources) {
  const std::vector<fs::path> sources = FilesBelow(kData / "source", ".txt");
  ASSERT_FALSE(sources.empty());
  for (const fs::path& source : sources) {
    SCOPED_TRACE(source.string());
    const fs::path document = kData / fs::relative(source, kData / "source").replace_extension();
    const std::u16string text = platform::FromUtf8(ReadBytes(source));
    EXPECT_EQ(ReadBytes(document), vocabulary_test::EncodeDocument(text));
  }
}
