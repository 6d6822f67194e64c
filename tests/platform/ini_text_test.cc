#include "platform/ini_text.h"

#include <gtest/gtest.h>

namespace quorvalmist {
namespace {

TEST(IniTextTest, LooksUpIgnoringCaseFirstMatchWins) {
  IniText ini = IniText::Parse(
      L"; comment\n[System]\n BufferSize = 4096 \nbuffersize=1\n[system]\nbuffersize=2\n"
      L"[q]\nquoted=\"a b\"\nempty=\n");
  EXPECT_EQ(ini.Get(L"SYSTEM", L"buffersize"), L"4096");
  EXPECT_EQ(ini.Get(L"q", L"quoted"), L"a b");
  EXPECT_EQ(ini.Get(L"q", L"empty"), L"");  // present and empty: not missing
  EXPECT_FALSE(ini.Get(L"q", L"absent").has_value());
  EXPECT_FALSE(ini.Get(L"nosection", L"buffersize").has_value());
  EXPECT_FALSE(ini.Get(L"system", L"; comment").has_value());
}

TEST(IniTextTest, SetKeepsOtherLinesAndAppendsWhereNeeded) {
  std::wstring text = L"# keep me\n[a]\nx=1\n\n[b]\ny=2\n";
  IniText ini = IniText::Parse(text);
  ini.Set(L"A", L"X", L"9");  // replaced in place, name as written anew
  ini.Set(L"a", L"z", L"3");  // appended after the section's last line
  ini.Set(L"c", L"w", L"4");  // new section at the end
  EXPECT_EQ(ini.ToText(), L"# keep me\n[a]\nX=9\nz=3\n\n[b]\ny=2\n[c]\nw=4\n");
  // Unchanged input prints back unchanged, CRLF included.
  EXPECT_EQ(IniText::Parse(L"[s]\r\nk=v\r\n").ToText(), L"[s]\r\nk=v\r\n");
}

TEST(IniTextTest, RemovesSectionsWithTheirLines) {
  IniText ini = IniText::Parse(L"[keep]\na=1\n[Gone]\nb=2\nc=3\n[keep2]\nd=4\n");
  EXPECT_EQ(ini.RemoveSections({L"gone"}), 1u);
  EXPECT_EQ(ini.ToText(), L"[keep]\na=1\n[keep2]\nd=4\n");
}

}  // namespace
}  // namespace quorvalmist
