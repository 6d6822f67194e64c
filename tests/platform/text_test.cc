#include "platform/text.h"

#include <gtest/gtest.h>

namespace quorvalmist {
namespace {

TEST(TextTest, RoundTripsEveryPlaneAndInvalidBytes) {
  std::wstring wide = L"a\u00e9\u4e2d\U0001F600\U0010FFFF";
  EXPECT_EQ(NarrowToWide(WideToNarrow(wide)), wide);
  EXPECT_EQ(WideToNarrow(L"\u00e9"), "\xc3\xa9");

  // Bytes that are not UTF-8 survive narrow -> wide -> narrow exactly.
  const std::string cases[] = {
      std::string("\xff\xfe", 2),
      "a\x80"
      "b",
      "\xc3",
      "\xed\xa0\x80",      // encoded surrogate
      "\xc0\xaf",          // overlong slash
      "\xf4\x90\x80\x80",  // above U+10FFFF
      std::string("x\0y", 3),
  };
  EXPECT_EQ(NarrowToWide("\xff"), std::wstring(1, static_cast<wchar_t>(0xDCFF)));
#ifdef _WIN32
  // Names are UTF-16 here: any sequence of units, a lone surrogate included,
  // comes back; narrow text comes from UTF-16 and so is never invalid UTF-8.
  for (const auto& bytes : cases) {
    std::wstring w = NarrowToWide(bytes);
    EXPECT_EQ(NarrowToWide(WideToNarrow(w)), w);
  }
  std::wstring lone = {L'a', static_cast<wchar_t>(0xD800), L'b', static_cast<wchar_t>(0xDC01)};
  EXPECT_EQ(NarrowToWide(WideToNarrow(lone)), lone);
#else
  // Names are bytes here: any byte string comes back.
  for (const auto& bytes : cases) {
    std::wstring w = NarrowToWide(bytes);
    EXPECT_EQ(WideToNarrow(w), bytes);
  }
  // A surrogate that is not an escape has no narrow form.
  EXPECT_EQ(WideToNarrow(std::wstring(1, static_cast<wchar_t>(0xD800))), "?");
#endif
}

TEST(TextTest, EqualsIgnoringCaseFoldsAsciiOnly) {
  EXPECT_TRUE(EqualsIgnoringCase(L"RuN", L"run"));
  EXPECT_FALSE(EqualsIgnoringCase(L"run ", L"run"));
  EXPECT_FALSE(EqualsIgnoringCase(L"\u00c9", L"\u00e9"));
}

}  // namespace
}  // namespace quorvalmist
