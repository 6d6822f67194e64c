#include "db/connection_string.h"

#include <gtest/gtest.h>

#include "db/db_error.h"
#include "db/schema.h"
#include "platform/text.h"

namespace quorvalmist {
namespace {

TEST(ConnectionStringTest, ParsesTheCoreLiteralWithKeysIgnoringCase) {
  ConnectionSettings settings = ParseConnectionString(kConnectionString);
  EXPECT_EQ(settings.size(), 4u);
  EXPECT_EQ(settings.at(L"provider"), L"Microsoft.Jet.OLEDB.4.0");
  EXPECT_EQ(settings.at(L"DATA SOURCE"), L"fm2.qz");
  EXPECT_EQ(settings.at(L"Persist Security Info"), L"False");
  EXPECT_EQ(settings.at(L"jet oledb:database password"), L"vomtrek");
}

TEST(ConnectionStringTest, QuotesBlanksAndRepeatedKeys) {
  ConnectionSettings settings = ParseConnectionString(
      L" Data Source = 'my;dir=x/it''s.db' ; ;Password=\"a \"\"b\"\" \";"
      L"k==ey=v ;Mode=1;mode=2;Empty=;Tail='x'  ");
  EXPECT_EQ(settings.at(L"data source"), L"my;dir=x/it's.db");
  EXPECT_EQ(settings.at(L"password"), L"a \"b\" ");
  EXPECT_EQ(settings.at(L"k=ey"), L"v");
  EXPECT_EQ(settings.at(L"MODE"), L"2");  // the last occurrence wins
  EXPECT_EQ(settings.at(L"empty"), L"");
  EXPECT_EQ(settings.at(L"tail"), L"x");
  EXPECT_TRUE(ParseConnectionString(L"").empty());
  EXPECT_TRUE(ParseConnectionString(L";;").empty());
}

TEST(ConnectionStringTest, RejectsMalformedText) {
  for (const wchar_t* text :
       {L"Data Source", L"=x", L"a='unterminated", L"a='x'y;b=1", L"a=1;junk;b=2"}) {
    EXPECT_THROW(ParseConnectionString(text), DbError) << WideToNarrow(text);
  }
}

}  // namespace
}  // namespace quorvalmist
