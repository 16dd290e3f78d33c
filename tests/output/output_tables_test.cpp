// Output tables from output configuration files: which entries count, their widths, the log
// lines, the file name and the executable's directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "output/output_tables.h"
#include "platform/folders.h"
#include "platform/guid.h"
#include "platform/text.h"
#include "support/vocabulary_documents.h"

using vocabulary_test::LogCapture;
using vocabulary_test::TempDocument;

namespace {

const char16_t kSampleType[] = u"8E0C5B1A-6F3D-4C2B-9A7E-1D2F3A4B5C6D";

platform::Guid Guid(std::u16string_view text) {
  platform::Guid guid;
  EXPECT_TRUE(platform::ParseGuid(text, &guid)) << platform::ToUtf8(text);
  return guid;
}

bool Load(OutputTables* tables, std::u16string_view text) {
  TempDocument document(text);
  return LoadOutputConfigurationFile(tables, document.Path()) == VexNode::LoadStatus::kLoaded;
}

bool Logged(LogCapture& log, std::u16string_view line) {
  for (const auto& logged : log.Lines()) {
    if (logged == line) return true;
  }
  return false;
}

}  // namespace

TEST(OutputConfigurationName, EveryFieldHasItsFullWidthInUpperCase) {
  const std::u16string name =
      OutputConfigurationName(Guid(u"0000abcd-000f-00e0-0a0b-00000000000c"));
  EXPECT_EQ(name.size(), 41u);
  EXPECT_EQ(name, platform::kPathSeparator + std::u16string(u"0000ABCD-000F-00E0-0A0B-00000000000C.dat"));
}

TEST(OutputTables, TheSampleControllerHasThreeStringsItsLedsAndOneShiftButton) {
  const std::u16string path = platform::FromUtf8(SKYHELM_TEST_DATA "/") + kSampleType + u".dat";
  OutputTables tables;
  LogCapture log;
  ASSERT_EQ(LoadOutputConfigurationFile(&tables, path), VexNode::LoadStatus::kLoaded);
  ASSERT_EQ(tables.strings.size(), 3u);
  for (uint32_t id = 0; id < 3; ++id) {
    const StringEntry& entry = tables.strings.at(id);
    EXPECT_EQ(entry.id, id);
    EXPECT_EQ(entry.max_length, 16u);
    EXPECT_EQ(entry.marquee_time, 250u);
    EXPECT_EQ(entry.clear_command, 0x100 + 0x10 * id);
    EXPECT_EQ(entry.set_command, 0x101 + 0x10 * id);
  }
  ASSERT_EQ(tables.leds.size(), 4u);
  EXPECT_EQ(tables.leds.at(0).command, 0x200);  // the shift LED
  EXPECT_EQ(tables.leds.at(0).max_value, 1);
  EXPECT_EQ(tables.leds.at(3).command, 0x201);
  EXPECT_EQ(tables.leds.at(3).max_value, 3);
  ASSERT_EQ(tables.shift_buttons.size(), 1u);
  EXPECT_EQ(tables.shift_buttons.at(6), 6u);
  EXPECT_TRUE(Logged(log, u"[STRING id=1 clearcommand=0110 setcommand=0111 maxlength=16 marqueetime=250"));
  EXPECT_TRUE(Logged(log, u"[LED ledid=0 command=0200 index=0 maxvalue=1"));
  EXPECT_TRUE(Logged(log, u"[SHIFTBUTTON hid=00000006"));
}

TEST(OutputTables, EntriesKeepTheLowBitsButTheLogShowsTheValuesAsWritten) {
  OutputTables tables;
  LogCapture log;
  ASSERT_TRUE(Load(&tables, u"[device [outputlist [ledcaps=9 command=0x12345 index=300 maxvalue=257]"
                            u" [stringcaps=1 setcommand=0x10002 clearcommand=0x20001]]]"));
  const LedEntry& led = tables.leds.at(9);
  EXPECT_EQ(led.id, 9u);
  EXPECT_EQ(led.command, 0x2345);
  EXPECT_EQ(led.index, 44);
  EXPECT_EQ(led.max_value, 1);
  EXPECT_EQ(tables.strings.at(1).set_command, 2);
  EXPECT_EQ(tables.strings.at(1).clear_command, 1);
  EXPECT_TRUE(Logged(log, u"[LED ledid=9 command=12345 index=300 maxvalue=257"));
}

TEST(OutputTables, OnlyDirectChildrenOfTheFirstOutputListCount) {
  OutputTables tables;
  ASSERT_TRUE(Load(&tables,
                   u"[device [outputlist [ledcaps=1] [pagelist [ledcaps=2] [shiftbutton=7]]"
                   u"  [imagecaps=0] [stringcaps=0 maxlength=16]]"
                   u" [outputlist [ledcaps=3] [stringcaps=4] [shiftbutton=8]]]"));
  ASSERT_EQ(tables.leds.size(), 1u);
  EXPECT_EQ(tables.leds.count(1), 1u);
  ASSERT_EQ(tables.strings.size(), 1u);
  EXPECT_EQ(tables.strings.at(0).max_length, 16u);
  EXPECT_TRUE(tables.shift_buttons.empty());
}

TEST(OutputTables, TheOutputListMayBeTheRootOrLieDeeper) {
  OutputTables root_list;
  ASSERT_TRUE(Load(&root_list, u"[outputlist [shiftbutton=0x0E]]"));
  EXPECT_EQ(root_list.shift_buttons.count(14), 1u);
  OutputTables deep_list;
  ASSERT_TRUE(Load(&deep_list, u"[device [pagelist [outputlist [shiftbutton=3]]] [outputlist [shiftbutton=4]]]"));
  EXPECT_EQ(deep_list.shift_buttons.count(3), 1u);
  EXPECT_EQ(deep_list.shift_buttons.count(4), 0u);
}

TEST(OutputTables, ALaterIdReplacesAnEarlierOneAndEarlierLoadsStay) {
  OutputTables tables;
  ASSERT_TRUE(Load(&tables, u"[device [outputlist [stringcaps=0 maxlength=8] [stringcaps=1 maxlength=9]"
                            u" [stringcaps=0 maxlength=20 marqueetime=100]]]"));
  EXPECT_EQ(tables.strings.at(0).max_length, 20u);
  EXPECT_EQ(tables.strings.at(0).marquee_time, 100u);
  ASSERT_TRUE(Load(&tables, u"[device [outputlist [stringcaps=1 maxlength=12] [ledcaps=5]]]"));
  EXPECT_EQ(tables.strings.size(), 2u);
  EXPECT_EQ(tables.strings.at(0).max_length, 20u);
  EXPECT_EQ(tables.strings.at(1).max_length, 12u);
  EXPECT_EQ(tables.leds.count(5), 1u);
}

TEST(OutputTables, MissingOrEmptyOutputListSucceedsWithNothingEntered) {
  OutputTables tables;
  EXPECT_TRUE(Load(&tables, u"[device [stringcaps=0] [ledcaps=1] [shiftbutton=6]]"));
  EXPECT_TRUE(Load(&tables, u"[device [outputlist]]"));
  EXPECT_TRUE(Load(&tables, u""));  // a document without elements has no tree at all
  EXPECT_TRUE(tables.leds.empty());
  EXPECT_TRUE(tables.strings.empty());
  EXPECT_TRUE(tables.shift_buttons.empty());
}

TEST(OutputTables, AFailedLoadLeavesTheTablesAsTheyWere) {
  OutputTables tables;
  ASSERT_TRUE(Load(&tables, u"[outputlist [stringcaps=0 maxlength=16]]"));
  // The entries before the syntax error are never entered.
  EXPECT_FALSE(Load(&tables, u"[outputlist [stringcaps=0 maxlength=4] [shiftbutton=6] [ledcaps=1"));
  EXPECT_EQ(tables.strings.at(0).max_length, 16u);
  EXPECT_TRUE(tables.shift_buttons.empty());
  EXPECT_TRUE(tables.leds.empty());

  const std::u16string missing =
      (std::filesystem::temp_directory_path() / "skyhelm-no-such-file.dat").u16string();
  EXPECT_EQ(LoadOutputConfigurationFile(&tables, missing), VexNode::LoadStatus::kCannotOpen);
  EXPECT_EQ(tables.strings.size(), 1u);
}

TEST(OutputTables, TheConfigurationIsReadFromTheExecutablesDirectory) {
  std::u16string executable;
  ASSERT_TRUE(platform::ExecutablePath(&executable));
  const std::filesystem::path directory = std::filesystem::path(executable).parent_path();
  // A device type of our own, so that no other file is picked up.
  std::random_device random;
  platform::Guid type;
  type.data1 = random();
  type.data2 = static_cast<uint16_t>(random());
  const std::filesystem::path file = directory / (platform::FormatGuid(type) + u".dat");
  vocabulary_test::WriteBytes(file, vocabulary_test::EncodeDocument(u"[device [outputlist [shiftbutton=6]]]"));

  OutputTables tables;
  LogCapture log;
  const bool loaded = LoadOutputConfiguration(&tables, type);
  std::filesystem::remove(file);
  EXPECT_TRUE(loaded);
  EXPECT_EQ(tables.shift_buttons.count(6), 1u);
  EXPECT_TRUE(Logged(log, u"Reading Config file \"" + file.u16string() + u"\""));

  // Without a file for the type, loading fails.
  EXPECT_FALSE(LoadOutputConfiguration(&tables, type));
}
