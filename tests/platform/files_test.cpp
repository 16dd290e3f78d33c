// Folder search, attributes and shared reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/folders.h"
#include "stand_in.h"

namespace platform {
namespace {

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(root_.path() / "Racing");
    std::filesystem::create_directories(root_.path() / "Flight.old");
    Touch("a.pr0");
    Touch("B.PR0");
    Touch("my.profile.pr0");
    Touch("notes.txt");
    Touch("README");
    Touch("x.pr0x");
  }
  void Touch(const char* name) { std::ofstream(root_.path() / name) << "data"; }
  // Every name the search gives, folders marked with a trailing '/'.
  std::vector<std::u16string> Search(const std::u16string& pattern) {
    std::vector<std::u16string> names;
    FileSearch search;
    FoundFile found;
    for (bool more = search.First(pattern, &found); more; more = search.Next(&found)) {
      names.push_back(found.name + (found.IsDirectory() ? u"/" : u""));
    }
    return names;
  }
  static bool Has(const std::vector<std::u16string>& names, std::u16string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  }
  testing::TempRoot root_;
};

TEST_F(Files, StarDotStarListsEveryNameWithTheDirectoryFlag) {
  std::vector<std::u16string> names = Search(root_.u16() + kPathSeparator + u"*.*");
  EXPECT_EQ(names.size(), 10u);
  EXPECT_TRUE(Has(names, u"Racing/"));
  EXPECT_TRUE(Has(names, u"Flight.old/"));
  EXPECT_TRUE(Has(names, u"README")) << "names without a dot match *.*";
  EXPECT_TRUE(Has(names, u"notes.txt"));
  EXPECT_TRUE(Has(names, u"./"));
  EXPECT_TRUE(Has(names, u"../"));
}

TEST_F(Files, ExtensionPatternMatchesWithoutRegardToCase) {
  std::vector<std::u16string> names = Search(root_.u16() + kPathSeparator + u"*.pr0");
  EXPECT_TRUE(Has(names, u"a.pr0"));
  EXPECT_TRUE(Has(names, u"B.PR0"));
  EXPECT_TRUE(Has(names, u"my.profile.pr0"));
  EXPECT_FALSE(Has(names, u"notes.txt"));
  EXPECT_FALSE(Has(names, u"Racing/"));
#ifndef _WIN32
  // Windows also matches x.pr0x here, through its short name X~1.PR0; Linux has no short names.
  EXPECT_EQ(names.size(), 3u);
#endif
}

TEST_F(Files, DoubledSeparatorBeforeASubFolderIsAccepted) {
  std::ofstream(root_.path() / "Racing" / "fast.pr0") << "x";
  std::u16string pattern = root_.u16() + kPathSeparator + kPathSeparator + u"Racing" +
                           kPathSeparator + u"*.pr0";
  std::vector<std::u16string> names = Search(pattern);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], u"fast.pr0");
}

TEST_F(Files, MissingFolderOrNoMatchFindsNothing) {
  EXPECT_TRUE(Search(root_.u16() + kPathSeparator + u"Absent" + kPathSeparator + u"*.*").empty());
  EXPECT_TRUE(Search(root_.u16() + kPathSeparator + u"Racing" + kPathSeparator + u"*.pr0").empty());
  FileSearch search;
  FoundFile found;
  EXPECT_FALSE(search.Next(&found)) << "Next before First";
}

#ifndef _WIN32
TEST_F(Files, LinuxOrderIsDotsThenNames) {
  std::vector<std::u16string> names = Search(root_.u16() + u"/*.*");
  std::vector<std::u16string> expected = {u"./",   u"../",       u"B.PR0",     u"Flight.old/",
                                          u"README", u"Racing/", u"a.pr0", u"my.profile.pr0",
                                          u"notes.txt", u"x.pr0x"};
  EXPECT_EQ(names, expected);
}
#endif

TEST_F(Files, AttributesAndSharedReading) {
  std::u16string folder = root_.u16() + kPathSeparator + u"Racing";
  std::u16string file = root_.u16() + kPathSeparator + u"a.pr0";
  EXPECT_EQ(FileAttributes(folder) & kAttributeDirectory, kAttributeDirectory);
  EXPECT_NE(FileAttributes(file), kInvalidAttributes);
  EXPECT_EQ(FileAttributes(file) & kAttributeDirectory, 0u);
  EXPECT_EQ(FileAttributes(root_.u16() + kPathSeparator + u"absent"), kInvalidAttributes);

  std::FILE* first = OpenSharedRead(file);
  ASSERT_NE(first, nullptr);
  std::FILE* second = OpenSharedRead(file);  // shared: a second reader is welcome
  ASSERT_NE(second, nullptr);
  char text[8] = {};
  EXPECT_EQ(std::fread(text, 1, sizeof text, second), 4u);
  EXPECT_EQ(std::string(text), "data");
  std::fclose(second);
  std::fclose(first);
  EXPECT_EQ(OpenSharedRead(root_.u16() + kPathSeparator + u"absent"), nullptr);
}

}  // namespace
}  // namespace platform
