// Tests of the display character map.
#include "session/display_char_map.h"

#include <gtest/gtest.h>

TEST(DisplayCharMap, AsciiMapsToItself) {
  for (char16_t unit = 0; unit < 0x80; ++unit) EXPECT_EQ(DisplayCode(unit), unit);
}

TEST(DisplayCharMap, LatinOneLettersLandOnTheirDisplayCodes) {
  EXPECT_EQ(DisplayCode(u'\u00E9'), 0x82);
  EXPECT_EQ(DisplayCode(u'\u00FC'), 0x81);
  EXPECT_EQ(DisplayCode(u'\u00A7'), 0x12);
  EXPECT_EQ(DisplayCode(u'\u0080'), 0xA0);
  EXPECT_EQ(DisplayCode(u'\u0085'), 0xA6);  // 0xA5 is skipped in the first row
  EXPECT_EQ(DisplayCode(u'\u00B7'), 0xA5);
  EXPECT_EQ(DisplayCode(u'\u00FF'), 0x98);
}

TEST(DisplayCharMap, UnitsAbove255AreSentAsZero) {
  EXPECT_EQ(DisplayCode(u'\u20AC'), 0);
  EXPECT_EQ(DisplayCode(u'\u0100'), 0);
  EXPECT_EQ(DisplayCode(u'\uFFFF'), 0);
}
