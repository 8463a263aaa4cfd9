#include "platform/windows_names.h"

#include <gtest/gtest.h>

namespace {

std::string mended(std::string name, bool expect_changed = true) {
  EXPECT_EQ(mend_windows_name(&name), expect_changed) << name;
  return name;
}

TEST(WindowsNames, ForbiddenCharactersBecomeUnderscores) {
  EXPECT_EQ(mended("report.txt", false), "report.txt");
  EXPECT_EQ(mended("a:b?c*d"), "a_b_c_d");
  EXPECT_EQ(mended("\"<x>|y\\z/"), "__x__y_z_");
  EXPECT_EQ(mended("tab\there\x1F"), "tab_here_");
  EXPECT_EQ(mended("\x7F" "del", false), "\x7F" "del");  // DEL is allowed
  // Bytes of other characters are left whole.
  EXPECT_EQ(mended("caf\xC3\xA9 \xE2\x98\x83.txt", false), "caf\xC3\xA9 \xE2\x98\x83.txt");
}

TEST(WindowsNames, ATrailingDotOrSpaceIsReplaced) {
  EXPECT_EQ(mended("name."), "name_");
  EXPECT_EQ(mended("name "), "name_");
  EXPECT_EQ(mended("name.."), "name._");
  EXPECT_EQ(mended("...", true), ".._");
  EXPECT_EQ(mended(".profile", false), ".profile");
  EXPECT_EQ(mended(" lead", false), " lead");
}

TEST(WindowsNames, DeviceNamesGetAnUnderscoreWithOrWithoutExtension) {
  EXPECT_EQ(mended("CON"), "CON_");
  EXPECT_EQ(mended("CON.txt"), "CON_.txt");
  EXPECT_EQ(mended("con.tar.gz"), "con_.tar.gz");
  EXPECT_EQ(mended("Nul"), "Nul_");
  EXPECT_EQ(mended("aux .log"), "aux_ .log");
  EXPECT_EQ(mended("PRN."), "PRN_");  // its trailing dot is replaced
  EXPECT_EQ(mended("COM1.txt"), "COM1_.txt");
  EXPECT_EQ(mended("lpt9"), "lpt9_");
  EXPECT_EQ(mended("COM\xC2\xB9"), "COM\xC2\xB9_");
  EXPECT_EQ(mended("CONIN$"), "CONIN$_");
  EXPECT_EQ(mended("conout$.x"), "conout$_.x");
  // Not devices: longer stems, other digits.
  EXPECT_EQ(mended("CONSOLE.txt", false), "CONSOLE.txt");
  EXPECT_EQ(mended("COM0", false), "COM0");
  EXPECT_EQ(mended("LPT10", false), "LPT10");
  EXPECT_EQ(mended("COM", false), "COM");
  EXPECT_EQ(mended("xCON", false), "xCON");
  EXPECT_EQ(mended("CONx.txt", false), "CONx.txt");
}

}  // namespace
