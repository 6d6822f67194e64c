#include "common/temp_name.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/file.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

std::string NameOf(const std::wstring& path) {
  std::string narrow = WideToNarrow(path);
  return narrow.substr(narrow.rfind('/') + 1);
}

TEST(TempNameTest, LongNamesGetAShortStableTemporaryNameOfTheirOwn) {
  const std::string suffix = "_quorvalmist_temp";
  // Every name that fits keeps the usual temporary name.
  std::wstring fits = L"/t/d/" + std::wstring(kMaxNameBytes - suffix.size(), L'a');
  EXPECT_EQ(TempPathFor(fits), fits + kTempSuffix);
  EXPECT_EQ(TempPathFor(L"plain"), L"plain_quorvalmist_temp");

  // Longer names up to the limit: a name that fits, ends in the suffix, lies
  // in the same directory, and is the same on every call (a resumed copy
  // finds it again).
  for (size_t length : {kMaxNameBytes - suffix.size() + 1, size_t{250}, kMaxNameBytes}) {
    SCOPED_TRACE(length);
    std::wstring target = L"/t/d/" + std::wstring(length, L'b');
    std::wstring temp = TempPathFor(target);
    std::string name = NameOf(temp);
    EXPECT_LE(name.size(), kMaxNameBytes);
    EXPECT_EQ(name.substr(name.size() - suffix.size()), suffix);
    EXPECT_EQ(WideToNarrow(temp).rfind("/t/d/", 0), 0u);
    EXPECT_EQ(TempPathFor(target), temp);
  }
  // Two long names that differ only past the cut get different names.
  std::wstring a = L"/d/" + std::wstring(250, L'x') + L"1";
  std::wstring b = L"/d/" + std::wstring(250, L'x') + L"2";
  EXPECT_NE(TempPathFor(a), TempPathFor(b));
  // Multi-byte and undecodable names are cut by bytes and still round-trip.
  std::string odd = "/d/" + std::string(120, 'x');
  for (int i = 0; i < 40; ++i) odd += "\xc3\xa9\xff";
  std::wstring temp = TempPathFor(NarrowToWide(odd));
  EXPECT_LE(NameOf(temp).size(), kMaxNameBytes);
  EXPECT_EQ(NarrowToWide(WideToNarrow(temp)), temp);
}

// The temporary file of a target is the one tagged for it, wherever it stands
// in the row of names; otherwise the first name with nothing there. Files of
// other kinds, untagged or tagged for another target, are passed over.
TEST(TempNameTest, TheTemporaryFileIsTheOneTaggedForTheTarget) {
  testing::TempDir dir;
  std::wstring target = NarrowToWide(dir / "f");
  EXPECT_EQ(TempPathCandidate(target, 0), target + L"_quorvalmist_temp");
  EXPECT_EQ(TempPathCandidate(target, 3), target + L"~3_quorvalmist_temp");
  auto at = [&](int i) { return WideToNarrow(TempPathCandidate(target, i)); };

  TempFile found = FindTempFor(target);
  EXPECT_EQ(found.path, TempPathCandidate(target, 0));
  EXPECT_FALSE(found.exists);

  testing::WriteFile(at(0), "a user's file");
  ASSERT_EQ(::symlink("nowhere", at(1).c_str()), 0);
  testing::WriteFile(at(2), "another target's");
  ASSERT_TRUE(TagTempFor(at(2), NarrowToWide(dir / "g")).ok());
  found = FindTempFor(target);
  EXPECT_EQ(found.path, TempPathCandidate(target, 3));
  EXPECT_FALSE(found.exists);

  testing::WriteFile(at(5), "ours");
  ASSERT_TRUE(TagTempFor(at(5), target).ok());
  found = FindTempFor(target);
  EXPECT_EQ(found.path, TempPathCandidate(target, 5));
  EXPECT_TRUE(found.exists);
  EXPECT_FALSE(IsTempFor(at(0), target));
  ASSERT_TRUE(UntagTemp(at(5)).ok());
  EXPECT_EQ(FindTempFor(target).path, TempPathCandidate(target, 3));
}

}  // namespace
}  // namespace quorvalmist
