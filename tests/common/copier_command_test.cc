#include "common/copier_command.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/protocol.h"

namespace quorvalmist {
namespace {

// Any path crosses the item line intact: the characters that separate and end
// values, the escape character itself, and letters outside ASCII. Each line is
// exactly one line.
TEST(CopierCommandTest, ServedItemsRoundTrip) {
  std::vector<CopierItem> items = {
      {L"plain", L"out/plain", 0, L"1024", L"task", L"item"},
      {L"tab\there", L"new\nline\r\n", 123456789012345, L"1024", L"t", L"i"},
      {L"C:\\dir\\", L"\\\\server\\share\\\\t", -1, L"", L"", L"id\\"},
      {L"\u0437\u0430\u0434\u0430\u0447\u0430 \u30d5\u30a1\u30a4\u30eb", L"\U0001F600 x", 5,
       L"1024", L"task 1", L"item 2"},
  };
  for (const CopierItem& item : items) {
    std::string line = EncodeServedItem(item);
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    std::optional<CopierItem> back = DecodeServedItem(line);
    ASSERT_TRUE(back.has_value()) << line;
    EXPECT_EQ(back->source, item.source);
    EXPECT_EQ(back->target, item.target);
    EXPECT_EQ(back->start, item.start);
    EXPECT_EQ(back->buffer, item.buffer);
    EXPECT_EQ(back->task_id, item.task_id);
    EXPECT_EQ(back->item_id, item.item_id);
  }
}

TEST(CopierCommandTest, MalformedLinesAndEndLinesAreRefused) {
  for (const char* line : {"", "a\tb\tc\td\te", "a\tb\t0\t1024\tt\ti\textra", "a\\x\tb\t0\t1\tt\ti",
                           "a\tb\t0\t1024\tt\ti\\"}) {
    EXPECT_FALSE(DecodeServedItem(line).has_value()) << line;
  }
  // The one-shot copier's -1 as the system reports it.
  EXPECT_EQ(ItemEndLine(kCopierExitItemClaimed), "end 255\n");
  for (const char* line : {"end ", "end 256", "end -1", "end 1x", "ended 0", "0"}) {
    EXPECT_FALSE(ParseItemEndLine(line).has_value()) << line;
  }
}

}  // namespace
}  // namespace quorvalmist
