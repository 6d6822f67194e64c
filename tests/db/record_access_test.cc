#include "db/record_access.h"

#include <sqlite3.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>
#include <set>

#include "db/db_create.h"
#include "db/schema.h"
#include "platform/text.h"
#include "tests/db/db_test_support.h"

namespace quorvalmist {
namespace {

using testing::CountRows;
using testing::ScalarText;
using testing::TaskDbTest;

bool IsUpperHex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'); }
bool IsLowerHex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

TEST(RecordIdTest, GuidTextInGroupsAndCasesAndNewEveryCall) {
  std::set<std::wstring> seen;
  for (int i = 0; i < 1000; ++i) {
    std::wstring id = NewRecordId();
    ASSERT_EQ(id.size(), 36u) << WideToNarrow(id);
    for (size_t k = 0; k < id.size(); ++k) {
      if (k == 8 || k == 13 || k == 18 || k == 23) {
        EXPECT_EQ(id[k], L'-') << WideToNarrow(id);
      } else if (k > 13 && k < 18) {
        EXPECT_TRUE(IsLowerHex(id[k])) << WideToNarrow(id);
      } else {
        EXPECT_TRUE(IsUpperHex(id[k])) << WideToNarrow(id);
      }
    }
    EXPECT_EQ(id[14], L'4');  // a version-4 GUID
    EXPECT_TRUE(seen.insert(id).second) << "repeated id " << WideToNarrow(id);
  }
}

TEST(RecordAccessTest, TextLiteralDoublesEverySingleQuote) {
  EXPECT_EQ(TextLiteral(L""), L"''");
  EXPECT_EQ(TextLiteral(L"a'b"), L"'a''b'");
  EXPECT_EQ(TextLiteral(L"''"), L"''''''");
  EXPECT_EQ(TextLiteral(L"\"x\""), L"'\"x\"'");
}

TEST(RecordAccessTest, ColumnValueOfAbsentNameIsEmpty) {
  ColumnMap row{{L"copytype", L"dir"}};
  EXPECT_EQ(ColumnValue(row, L"copytype"), L"dir");
  EXPECT_EQ(ColumnValue(row, L"CopyType"), L"");
  EXPECT_EQ(ColumnValue(ColumnMap(), L"sourcedir"), L"");
}

std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class OpenTest : public TaskDbTest {
 protected:
  void SetUp() override { EnterEmptyDir(); }

  // Opening with the core's connection string fails with `code` and a
  // description holding `text`, and leaves the directory as it was.
  void ExpectOpenFails(int code, const std::wstring& text) {
    std::set<std::string> before = Listing(dir_->path());
    std::string content =
        testing::PathExists(Path("fm2.qz")) ? testing::ReadFile(Path("fm2.qz")) : std::string();
    try {
      OpenTaskDb(kConnectionString);
      ADD_FAILURE() << "the open succeeded";
    } catch (const DbError& error) {
      EXPECT_EQ(error.code() & 0xFF, code) << error.what();
      EXPECT_NE(error.description().find(text), std::wstring::npos) << error.what();
    }
    EXPECT_EQ(Listing(dir_->path()), before);
    if (!content.empty()) {
      EXPECT_EQ(testing::ReadFile(Path("fm2.qz")), content);
    }
    EXPECT_THROW(TaskDb(), DbError);
  }
};

TEST_F(OpenTest, MissingFileIsNotCreated) {
  std::string file = testing::JoinPath(PathText(std::filesystem::current_path()), "fm2.qz");
  ExpectOpenFails(SQLITE_CANTOPEN, L"Could not find file '" + NarrowToWide(file) + L"'.");
  EXPECT_FALSE(testing::PathExists(Path("fm2.qz")));
}

TEST_F(OpenTest, FileOfRandomBytesIsNoDatabase) {
  testing::WriteFile(Path("fm2.qz"), testing::RandomBytes(65536, 7));
  ExpectOpenFails(SQLITE_NOTADB, L"Unrecognized database format '");
}

TEST_F(OpenTest, WrongOrMissingPasswordFails) {
  CreateTaskDb("fm2.qz", L"another");
  ExpectOpenFails(SQLITE_AUTH, L"Not a valid password.");
  // The right password opens the same file.
  OpenTaskDb(L"Data Source=fm2.qz;Jet OLEDB:Database Password=another");
  EXPECT_EQ(CountRows(kItemTable), 0);
  CloseTaskDbForTesting();

  // An empty file is an empty database, which recorded no password.
  std::filesystem::remove(Path("fm2.qz"));
  testing::WriteFile(Path("fm2.qz"), "");
  ExpectOpenFails(SQLITE_AUTH, L"Not a valid password.");
  EXPECT_EQ(testing::ReadFile(Path("fm2.qz")), "");
}

TEST_F(OpenTest, DatabaseWithoutPasswordOpensWithoutOne) {
  CreateTaskDb("plain.db", L"");
  OpenTaskDb(L"data source='plain.db'");
  EXPECT_EQ(CountRows(kItemTable), 0);
  CloseTaskDbForTesting();
  EXPECT_THROW(OpenTaskDb(L"Data Source=plain.db;Jet OLEDB:Database Password=x"), DbError);
}

TEST_F(OpenTest, CreatorRefusesAnExistingFile) {
  testing::WriteFile(Path("fm2.qz"), "keep");
  EXPECT_THROW(CreateTaskDbFor(kConnectionString), DbError);
  EXPECT_EQ(testing::ReadFile(Path("fm2.qz")), "keep");
}

#ifndef _WIN32  // a read-only database file is refused by permission bits
TEST_F(OpenTest, ReadOnlyFileIsRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes to any file";
  CreateTaskDbFor(kConnectionString);
  std::filesystem::permissions(Path("fm2.qz"), std::filesystem::perms::owner_read);
  ExpectOpenFails(SQLITE_READONLY, L"cannot be opened for writing");
}
#endif

TEST_F(TaskDbTest, OpenFileIsSharedInWalMode) {
  Recordset rows = TaskDb().Query(L"pragma journal_mode");
  ASSERT_FALSE(rows.Eof());
  EXPECT_EQ(rows.Field(L"journal_mode"), L"wal");
}

TEST_F(TaskDbTest, RunsExactlyOneStatementPerCall) {
  // A second statement after the first is refused before anything runs.
  EXPECT_THROW(RunChange(L"insert into tcsearch(id) values('x'); drop table tcitem2"), DbError);
  EXPECT_THROW(Query(L"select 1; select 2"), DbError);
  EXPECT_EQ(CountRows(kSearchTable), 0);
  EXPECT_EQ(CountRows(kItemTable), 0);
  // Blanks, comments and a final ";" are no second statement.
  RunChange(L"insert into tcsearch(id) values('y') ; -- done\n");
  EXPECT_EQ(CountRows(kSearchTable), 1);
  // A NUL would end the text early in the engine and drop the rest silently.
  EXPECT_THROW(RunChange(std::wstring(L"insert into tcsearch(id) values('a\0b')", 39)), DbError);
  EXPECT_THROW(Query(L"  "), DbError);
  EXPECT_EQ(CountRows(kSearchTable), 1);
}

TEST_F(TaskDbTest, RecordsetReadsTextNumbersAndNulls) {
  Recordset rows = Query(L"select 'a''b' as T, 42 as n, null as z union all select 'c', 7, 'd'");
  ASSERT_FALSE(rows.Eof());
  EXPECT_EQ(rows.Field(L"t"), L"a'b");
  EXPECT_EQ(rows.Field(L"N"), L"42");
  EXPECT_EQ(rows.Field(L"z"), std::nullopt);
  EXPECT_THROW(rows.Field(L"missing"), DbError);
  EXPECT_EQ(ReadRow(rows, {{L"z"}}), (ColumnMap{{L"z", L""}}));
  EXPECT_EQ(ReadRow(rows, {{L"z", L"0"}}), (ColumnMap{{L"z", L"0"}}));
  rows.MoveNext();
  EXPECT_EQ(ReadRow(rows, {{L"t"}, {L"n"}, {L"z"}}),
            (ColumnMap{{L"t", L"c"}, {L"n", L"7"}, {L"z", L"d"}}));
  rows.MoveNext();
  EXPECT_TRUE(rows.Eof());
  EXPECT_THROW(rows.Field(L"t"), DbError);
}

TEST_F(TaskDbTest, ClosedConnectionFailsEveryStatement) {
  CloseTaskDbForTesting();
  try {
    Query(L"select 1");
    ADD_FAILURE() << "no error";
  } catch (const DbError& error) {
    EXPECT_EQ(error.code(), SQLITE_MISUSE);
    EXPECT_EQ(error.description(), L"The task database is not open.");
  }
  EXPECT_THROW(RunChange(L"select 1"), DbError);
}

}  // namespace
}  // namespace quorvalmist
