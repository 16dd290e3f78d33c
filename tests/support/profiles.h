// Profile documents for display tests: one whose controller is the rig's controller, with
// commands, controls (one inside a slider inside a ministick) and three shift states.
#pragma once

#include <string>

#include "platform/guid.h"
#include "platform/text.h"

namespace profiles {

inline const platform::Guid kGear = {0xA0000001, 0x1111, 0x4111, {0x81, 0, 0, 0, 0, 0, 0, 1}};
inline const platform::Guid kFlaps = {0xA0000002, 0x1111, 0x4111, {0x81, 0, 0, 0, 0, 0, 0, 2}};
inline const platform::Guid kHello = {0xA0000003, 0x1111, 0x4111, {0x81, 0, 0, 0, 0, 0, 0, 3}};
inline const platform::Guid kUnknown = {0xA0000004, 0x1111, 0x4111, {0x81, 0, 0, 0, 0, 0, 0, 4}};
inline const platform::Guid kNormal = {0xB0000001, 0x2222, 0x4222, {0x82, 0, 0, 0, 0, 0, 0, 1}};
inline const platform::Guid kShifted = {0xB0000002, 0x2222, 0x4222, {0x82, 0, 0, 0, 0, 0, 0, 2}};
inline const platform::Guid kCombo = {0xB0000003, 0x2222, 0x4222, {0x82, 0, 0, 0, 0, 0, 0, 3}};

inline std::string Braced(const platform::Guid& guid) {
  return "{" + platform::ToUtf8(platform::FormatGuid(guid)) + "}";
}

// Controls: buttons 1 'Gear Button', 2 'Flap Button', 9 'Spare', hat 7 'Coolie', and axis 0x31
// 'Wheel Axis' inside a slider inside a ministick. Shifts: Normal (no selection set), Shifted
// (button 6) and Combo (buttons 6 and 12, then 12 again).
inline std::string Alpha(const platform::Guid& member, const platform::Guid& controller) {
  return "[profile='Alpha'\n"
         "  [commands\n"
         "    [actioncommand=" + Braced(kGear) + " name='Gear']\n"
         "    [temporalcommand=" + Braced(kFlaps) + " name='Flaps']\n"
         "    [stringcommand=" + Braced(kHello) + " name='Hello']\n"
         "  ]\n"
         "  [controllers\n"
         "    [controller=" + Braced(controller) + "\n"
         "      [member=" + Braced(member) + " name='Pad']\n"
         "      [controls\n"
         "        [button=1 name='Gear Button']\n"
         "        [button=2 name='Flap Button']\n"
         "        [hat=7 name='Coolie']\n"
         "        [button=9 name='Spare']\n"
         "        [analogbutton=10 name='Analog']\n"
         "        [ministick=0 name='Stick'\n"
         "          [slider=0 name='Wheel' [axis=0x31 name='Wheel Axis']]\n"
         "        ]\n"
         "      ]\n"
         "      [shifts\n"
         "        [shift=" + Braced(kNormal) + " name='Normal']\n"
         "        [shift=" + Braced(kShifted) + " name='Shifted'\n"
         "          [selectionset [buttoncombo [buttonhid=6]]]\n"
         "        ]\n"
         "        [shift=" + Braced(kCombo) + " name='Combo'\n"
         "          [selectionset [buttoncombo [buttonhid=6] [buttonhid=12]] [buttoncombo [buttonhid=12]]]\n"
         "        ]\n"
         "      ]\n"
         "    ]\n"
         "  ]\n"
         "]\n";
}

// A second profile whose one command and controller share nothing with Alpha's.
inline std::string Beta() {
  return "[profile='Beta'\n"
         "  [commands [cyclecommand={C0000001-3333-4333-8300-000000000001} name='Lights']]\n"
         "  [controllers [controller={C0000002-3333-4333-8300-000000000002}\n"
         "    [controls [button=1 name='Other']]]]\n"
         "]\n";
}

}  // namespace profiles
