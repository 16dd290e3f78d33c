// Tests of display strings and the marquee against the simulated driver.
#include "session/string_slot.h"

#include <chrono>
#include <thread>

#include "driver/driver_channel.h"
#include "output/output_tables.h"
#include "tests/session/sim_fixture.h"

namespace {

constexpr uint16_t kClear = 0x0102;
constexpr uint16_t kSet = 0x0A0B;

class StringSlotTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_TRUE(channel_.Open(Path(), false));
    path_ = Path();
    // Ids 0 and 3 have entries; 1 has none; 3 has no slot.
    tables_.strings[0] = StringEntry{0, kClear, kSet, 16, 250};
    tables_.strings[2] = StringEntry{2, 0x0203, 0x0C0D, 16, 20};
    tables_.strings[3] = StringEntry{3, 0x0304, 0x0E0F, 16, 250};
  }

  uint32_t Set(uint32_t id, const std::u16string& text) {
    return SetDisplayString(slots_, path_, tables_, channel_, id,
                            static_cast<uint32_t>(text.size()), text.c_str());
  }

  std::vector<std::string> Strings() const { return Records(IOCTL_SET_STRING); }

  DriverChannel channel_;
  std::u16string path_;
  OutputTables tables_;
  StringSlot slots_[kStringSlotCount];  // destroyed first: stops every marquee
};

// "clear" record, then a set record per pair: {set lo, set hi, second unit, first unit}.
TEST_F(StringSlotTest, FiveUnitsAreSentAsOnePlusThreeRecords) {
  SendString(&channel_, u"ABCDE", 5, kSet, kClear);
  const auto records = Strings();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(InputHex(records[0]), "02010000" "0B0A4241" "0B0A4443" "0B0A0045");
}

TEST_F(StringSlotTest, EmptyTextIsTheClearRecordAlone) {
  EXPECT_EQ(Set(0, u""), kStatusOk);
  const auto records = Strings();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(InputHex(records[0]), "02010000");
  EXPECT_EQ(log_.Count(u"SetString(0, 0, \"\")"), 1);
}

TEST_F(StringSlotTest, DisplayCodesOfTheCharacterMap) {
  SendString(&channel_, u"\u20AC\u00E9\u00A7A", 4, kSet, kClear);
  const auto records = Strings();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(InputHex(records[0]), "02010000" "0B0A8200" "0B0A4112");
}

TEST_F(StringSlotTest, TextOfExactlyTheMaximumLengthIsSentDirectly) {
  const std::u16string text = u"0123456789ABCDEF";
  EXPECT_EQ(Set(0, text), kStatusOk);
  const auto records = Strings();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(InputHex(records[0]).size(), 2u * 4 * 9);
  EXPECT_FALSE(slots_[0].thread.Running());
  EXPECT_EQ(log_.Count(u"Marquee Thread Started"), 0);
  EXPECT_EQ(log_.Count(u"SetString(0, 16, \"0123456789ABCDEF\")"), 1);
}

TEST_F(StringSlotTest, WithoutPathOrEntryNothingIsSentAndTheMarqueeRunsOn) {
  const std::u16string long_text = u"a text longer than sixteen";
  EXPECT_EQ(Set(2, long_text), kStatusOk);
  ASSERT_TRUE(model_.WaitForIssued(kDevice, IOCTL_SET_STRING, 2, kDeadlineMs));

  EXPECT_EQ(Set(1, u"no entry"), kStatusInvalidArgument);
  EXPECT_EQ(Set(3, u"no slot"), kStatusInvalidArgument);
  EXPECT_EQ(Set(7, u"neither"), kStatusInvalidArgument);
  const std::u16string saved = path_;
  path_.clear();
  EXPECT_EQ(Set(2, u"short"), kStatusInvalidHandle);
  path_ = saved;

  const uint64_t sent = model_.IssuedCount(kDevice, IOCTL_SET_STRING);
  EXPECT_TRUE(model_.WaitForIssued(kDevice, IOCTL_SET_STRING, sent + 3, kDeadlineMs));
  EXPECT_TRUE(slots_[2].thread.Running());
  EXPECT_EQ(log_.Count(u"Marquee Thread Finished"), 0);
  // Only accepted ids are logged.
  EXPECT_EQ(log_.Count(u"SetString(1, 8, \"no entry\")"), 0);
  EXPECT_EQ(log_.Count(u"SetString(3, 7, \"no slot\")"), 0);
  for (const std::string& record : Strings()) {
    EXPECT_EQ(InputHex(record).substr(0, 8), "03020000");  // only string 2's commands went out
  }
}

TEST_F(StringSlotTest, AStringThatFitsStopsTheMarqueeAndKeepsTheSlot) {
  EXPECT_EQ(Set(2, u"a text longer than sixteen"), kStatusOk);
  ASSERT_TRUE(model_.WaitForIssued(kDevice, IOCTL_SET_STRING, 2, kDeadlineMs));
  EXPECT_EQ(Set(2, u"short"), kStatusOk);
  EXPECT_EQ(log_.Count(u"Marquee Thread Finished"), 1);
  EXPECT_FALSE(slots_[2].thread.Running());
  EXPECT_EQ(slots_[2].text, u"a text longer than sixteen");
  const auto records = Strings();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(InputHex(records.back()), "03020000" "0D0C6873" "0D0C726F" "0D0C0074");
}

// A marquee time of 0 still scrolls, at no more than one step per 10 ms: without a floor the
// thread would send thousands of requests in the same time.
TEST_F(StringSlotTest, MarqueeTimeOfZeroStepsAtMostEveryTenMilliseconds) {
  const std::u16string text = u"a text longer than sixteen";
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(StartMarquee(slots_[0], &channel_, text.c_str(),
                           static_cast<uint32_t>(text.size()), 16, 0, kSet, kClear));
  ASSERT_TRUE(model_.WaitForIssued(kDevice, IOCTL_SET_STRING, 3, kDeadlineMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  slots_[0].StopMarquee();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  const size_t sent = Strings().size();
  // Each step after the first waits at least 10 ms.
  EXPECT_LE(sent, static_cast<size_t>(elapsed.count() / 10 + 1)) << elapsed.count() << " ms";
}

TEST_F(StringSlotTest, MarqueeWithoutChannelLogsAndSendsNothing) {
  ASSERT_TRUE(StartMarquee(slots_[1], nullptr, u"0123456789", 10, 4, 10, kSet, kClear));
  EXPECT_TRUE(log_.WaitFor(u"eek - pointer", 3));
  slots_[1].StopMarquee();
  EXPECT_EQ(log_.Count(u"Marquee Thread Finished"), 1);
  EXPECT_TRUE(Strings().empty());
}

// The text as the display shows it: a window of 16 of "text + 8 spaces + text" from position.
std::u16string Window(const std::u16string& text, size_t position) {
  const std::u16string scroll = text + u"        " + text;
  return scroll.substr(position, 16);
}

std::string WindowHex(const std::u16string& window) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex = "02010000";
  for (size_t unit = 0; unit < window.size(); unit += 2) {
    const unsigned second = unit + 1 < window.size() ? window[unit + 1] : 0;
    const unsigned first = window[unit];
    hex += "0B0A";
    for (unsigned byte : {second, first}) {
      hex += kDigits[byte >> 4];
      hex += kDigits[byte & 15];
    }
  }
  return hex;
}

// The first window goes out before the first pause: a marquee stopped at once has sent it alone.
TEST_F(StringSlotTest, AMarqueeStoppedAtOnceHasSentItsFirstWindow) {
  const std::u16string text = u"ABCDEFGHIJKLMNOPQRST";
  EXPECT_EQ(Set(0, text), kStatusOk);
  slots_[0].StopMarquee();
  const auto records = Strings();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(InputHex(records[0]), WindowHex(Window(text, 0)));
}

// 20 units with maximum 16 and 250 ms: windows at positions 0 to 27, then position 0 again. Each
// step follows the one before by at least the marquee time, as the simulated driver timed their
// requests (a busy machine only makes the steps later). How close to the marquee time they come
// is measured in bench/session.
TEST_F(StringSlotTest, MarqueeScrollsTwentyEightWindowsThenStartsAgain) {
  const std::u16string text = u"ABCDEFGHIJKLMNOPQRST";
  EXPECT_EQ(Set(0, text), kStatusOk);
  ASSERT_TRUE(model_.WaitForIssued(kDevice, IOCTL_SET_STRING, 30, 30 * 250 + kDeadlineMs));
  slots_[0].StopMarquee();
  EXPECT_EQ(log_.Count(u"Marquee Thread Started"), 1);
  EXPECT_EQ(log_.Count(u"Marquee Thread Finished"), 1);
  const std::vector<std::string> trace = model_.Trace();
  const auto times = model_.TraceTimes();
  ASSERT_EQ(times.size(), trace.size());
  std::vector<std::string> records;
  std::vector<std::chrono::steady_clock::time_point> sent;
  for (size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].find("\"code\":\"IOCTL_SET_STRING\"") == std::string::npos) continue;
    records.push_back(trace[i]);
    sent.push_back(times[i]);
  }
  ASSERT_GE(records.size(), 30u);
  for (size_t step = 0; step < 30; ++step) {
    EXPECT_EQ(InputHex(records[step]), WindowHex(Window(text, step % 28))) << step;
  }
  // A Windows wait may end up to one clock tick (15.6 ms) before its time.
  constexpr auto kShortestStep = std::chrono::milliseconds(250 - 16);
  for (size_t step = 1; step < 30; ++step) {
    EXPECT_GE(sent[step] - sent[step - 1], kShortestStep) << step;
  }
  EXPECT_EQ(log_.Count(u"Setting string = 250 16 \"ABCDEFGHIJKLMNOPQRST        "
                       u"ABCDEFGHIJKLMNOPQRST\""),
            2);
}

}  // namespace
