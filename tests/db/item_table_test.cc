#include "db/item_table.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "db/db_create.h"
#include "db/schema.h"
#include "db/searched_dirs.h"
#include "platform/text.h"
#include "tests/db/db_test_support.h"

namespace quorvalmist {
namespace {

using testing::CountRows;
using testing::ScalarText;
using testing::TaskDbTest;

TEST(ItemStatementTest, TextsAreExactlyAsBuilt) {
  EXPECT_EQ(UpdateItemFieldsStatement(L"I1", {{L"copystatus", L"running"}}),
            L"update tcitem2 set  copystatus='running' where id='I1'");
  EXPECT_EQ(UpdateItemFieldsStatement(L"I'1", {{L"positionnum", L"9"}, {L"md5status", L"md5ok"}}),
            L"update tcitem2 set  md5status='md5ok', positionnum='9' where id='I''1'");
  EXPECT_EQ(SetItemPositionToTotalStatement(L"I1"),
            L"update tcitem2 set positionnum=totalnum where id='I1'");
  EXPECT_EQ(InsertItemStatement(L"i", L"t", L"s'", L"d", L"", L"5", L"ready"),
            L"insert into tcitem2(id,tcitemid, sourcefile, targetfile, positionnum, totalnum, "
            L"copystatus) values('i','t','s''','d','','5','ready')");
  EXPECT_EQ(LoadTaskStatement(L"T"), L"select * from tcitem where id='T'");
  EXPECT_EQ(LoadItemStatement(L"I"), L"select * from tcitem2 where id='I'");
  EXPECT_EQ(ListReadyItemIdsStatement(L"T"),
            L"select * from tcitem2 where copystatus='ready' and tcitemid='T'");
  EXPECT_EQ(ItemExistsForSourceStatement(L"T", L"/a'b"),
            L"select * from tcitem2 where tcitemid='T' and sourcefile='/a''b'");
}

TEST_F(TaskDbTest, InsertedItemLoadsWithItsSevenValues) {
  std::wstring id =
      InsertItem(L"", L"T1", L"/src/a.bin", L"/dst/a.bin", L"", L"1048576", kStatusReady);
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(LoadItem(id), (ColumnMap{{L"id", id},
                                     {L"tcitemid", L"T1"},
                                     {L"sourcefile", L"/src/a.bin"},
                                     {L"targetfile", L"/dst/a.bin"},
                                     {L"positionnum", L""},
                                     {L"totalnum", L"1048576"},
                                     {L"copystatus", L"ready"}}));
  EXPECT_EQ(InsertItem(L"given-id", L"T1", L"/src/b", L"/dst/b", L"", L"0", kStatusReady),
            L"given-id");
  EXPECT_EQ(ColumnValue(LoadItem(L"given-id"), L"sourcefile"), L"/src/b");
  // The id is the key: a second row under it is refused, not shadowed.
  EXPECT_THROW(InsertItem(L"given-id", L"T1", L"/src/c", L"/dst/c", L"", L"0", kStatusReady),
               DbError);
  EXPECT_TRUE(LoadItem(L"no such id").empty());

  // After a finished copy: status, then position = total, then md5 status.
  SetItemPosition(id, L"4096");
  EXPECT_EQ(ColumnValue(LoadItem(id), L"positionnum"), L"4096");
  SetItemCopyStatus(id, kStatusSuccess);
  SetItemPositionToTotal(id);
  SetItemMd5Status(id, kMd5Ok);
  ColumnMap row = LoadItem(id);
  EXPECT_EQ(ColumnValue(row, L"copystatus"), L"success");
  EXPECT_EQ(ColumnValue(row, L"positionnum"), L"1048576");
  EXPECT_EQ(ScalarText(L"select md5status as v from tcitem2 where id='" + id + L"'"), L"md5ok");
  // Only that row changed; a missing id changes nothing and is no error.
  EXPECT_EQ(ColumnValue(LoadItem(L"given-id"), L"copystatus"), L"ready");
  SetItemCopyStatus(L"no such id", kStatusStop);
}

TEST_F(TaskDbTest, TaskLoadsWithNullCountsAsZero) {
  InsertTask({{L"id", L"T1"},
              {L"copytype", L"dir"},
              {L"sourcedir", L"/s"},
              {L"targetdir", L"/t"},
              {L"copystatus", L"x"}});
  InsertTask({{L"id", L"T2"}, {L"finishnum", L"3"}, {L"totalnum", L"9"}});
  EXPECT_EQ(LoadTask(L"T1"), (ColumnMap{{L"id", L"T1"},
                                        {L"copytype", L"dir"},
                                        {L"sourcedir", L"/s"},
                                        {L"targetdir", L"/t"},
                                        {L"copystatus", L"x"},
                                        {L"finishnum", L"0"},
                                        {L"totalnum", L"0"}}));
  // Other NULLs read as the empty text.
  ColumnMap t2 = LoadTask(L"T2");
  EXPECT_EQ(t2.size(), 7u);
  EXPECT_EQ(ColumnValue(t2, L"copytype"), L"");
  EXPECT_EQ(ColumnValue(t2, L"finishnum"), L"3");
  EXPECT_EQ(ColumnValue(t2, L"totalnum"), L"9");
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(LoadTask(L"T3").empty());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // no row is no error
  EXPECT_THROW(InsertTask({{L"bogus", L"1"}}), DbError);
}

TEST_F(TaskDbTest, ReadyListAndExistenceArePerTask) {
  std::wstring a1 = InsertItem(L"", L"A", L"/x/1", L"/y/1", L"", L"1", kStatusReady);
  std::wstring a2 = InsertItem(L"", L"A", L"/x/2", L"/y/2", L"", L"2", kStatusReady);
  std::wstring a3 = InsertItem(L"", L"A", L"/x/3", L"/y/3", L"", L"3", kStatusReady);
  InsertItem(L"", L"B", L"/x/1", L"/y/1", L"", L"1", kStatusReady);
  SetItemCopyStatus(a2, kStatusRunning);

  std::vector<std::wstring> ready = ListReadyItemIds(L"A");
  std::sort(ready.begin(), ready.end());
  std::vector<std::wstring> expected{a1, a3};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ready, expected);
  EXPECT_TRUE(ListReadyItemIds(L"C").empty());

  EXPECT_TRUE(ItemExistsForSource(L"A", L"/x/2"));  // any state counts
  EXPECT_TRUE(ItemExistsForSource(L"B", L"/x/1"));
  EXPECT_FALSE(ItemExistsForSource(L"B", L"/x/2"));
  EXPECT_FALSE(ItemExistsForSource(L"A", L"/X/2"));  // compared exactly
}

TEST_F(TaskDbTest, HostileAndUnusualPathsRoundTripAndChangeNothingElse) {
  InsertTask({{L"id", L"T"}, {L"copytype", L"dir"}});
  InsertItem(L"", L"T", L"/keep", L"/keep", L"", L"1", kStatusReady);
  const std::wstring paths[] = {
      L"/dir/a'); DROP TABLE tcitem2; --",
      L"/a'b/it''s '' x'",
      L"/x' or '1'='1",
      L"/\u00e9\u4e2d\uFFFD\U0001F600\U0002A6D6\U000E0001\U0010FFFD/f",
      NarrowToWide("/bad/\xff\xfe\x80-\xc3(\xed\xa0\x80.bin"),
  };
  for (const std::wstring& path : paths) {
    std::wstring target = path + L".copy";
    ASSERT_FALSE(ItemExistsForSource(L"T", path));
    std::wstring id = InsertItem(L"", L"T", path, target, L"", L"7", kStatusReady);
    EXPECT_TRUE(ItemExistsForSource(L"T", path));
    ColumnMap row = LoadItem(id);
    EXPECT_EQ(ColumnValue(row, L"sourcefile"), path);
    EXPECT_EQ(WideToNarrow(ColumnValue(row, L"targetfile")), WideToNarrow(target));
    SetItemPosition(id, path);  // as a value of an update too
    EXPECT_EQ(ColumnValue(LoadItem(id), L"positionnum"), path);
  }
#ifndef _WIN32  // names are bytes only where the file system's names are
  // The escaped bytes are stored as the very bytes of the name.
  EXPECT_EQ(ScalarText(L"select hex(sourcefile) as v from tcitem2 where sourcefile like '/bad/%'"),
            L"2F6261642FFFFE802DC328EDA0802E62696E");
#endif
  EXPECT_EQ(CountRows(kItemTable), 1 + static_cast<long>(std::size(paths)));
  EXPECT_EQ(CountRows(kTaskTable), 1);
  EXPECT_EQ(ColumnValue(LoadItem(ListReadyItemIds(L"T").front()), L"tcitemid"), L"T");
}

TEST_F(TaskDbTest, ReadErrorsAreReportedAndGiveTheFallback) {
  RunChange(L"drop table tcitem2");
  RunChange(L"drop table tcitem");
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(LoadItem(L"x").empty());
  EXPECT_TRUE(LoadTask(L"x").empty());
  EXPECT_TRUE(ListReadyItemIds(L"x").empty());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "info: no such table: tcitem2\n"
            "info: no such table: tcitem\n"
            "info: no such table: tcitem2\n");
  // The existence check is an error of the run, not a fallback: neither
  // answer would be safe.
  EXPECT_THROW(ItemExistsForSource(L"x", L"/f"), DbError);
  EXPECT_THROW(InsertItem(L"", L"x", L"/f", L"/g", L"", L"0", kStatusReady), DbError);
  EXPECT_THROW(SetItemCopyStatus(L"x", kStatusStop), DbError);
}

}  // namespace
}  // namespace quorvalmist
