#include "common/target_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/text.h"

namespace quorvalmist {
namespace {

// `path` spelled with the native separator, as the results are.
std::wstring Native(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', kPathSeparator);
  return path;
}

// A folder's path as NormalizeDirPath gives it: one native separator at the end.
std::wstring Dir(const std::wstring& path) { return path + kPathSeparator; }

TEST(TargetPathTest, NormalizesRootsAndMirrorsTheRelativePart) {
  EXPECT_EQ(NormalizeDirPath(L"/src"), Dir(L"/src"));
  EXPECT_EQ(NormalizeDirPath(L"/src/"), Dir(L"/src"));
  EXPECT_EQ(NormalizeDirPath(L"/src\\/"), Dir(L"/src"));
  EXPECT_EQ(NormalizeDirPath(L"/src//\\\\//"), Dir(L"/src"));
  EXPECT_EQ(NormalizeDirPath(L"/"), Native(L"/"));
  for (const wchar_t* root : {L"/s", L"/s/", L"/s\\/"}) {
    // The relative part is kept as the source spells it.
    EXPECT_EQ(MakeTargetPath(L"/s/a b/C.txt", root, L"/t\\"), Dir(L"/t") + L"a b/C.txt")
        << root;
  }
  EXPECT_EQ(JoinEntryPath(L"/s", L"x"), Dir(L"/s") + L"x");
  EXPECT_EQ(JoinEntryPath(Dir(L"/s"), L"x"), Dir(L"/s") + L"x");
}

}  // namespace
}  // namespace quorvalmist
