// The system library's PBKDF2-HMAC-SHA256 against published vectors, and the
// password record built on it. A database made on one system is opened on
// another: the same password must give the same hash everywhere.
#include "db/pbkdf2.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/password_hash.h"
#include "platform/text.h"

namespace quorvalmist {
namespace {

std::vector<unsigned char> Bytes(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

std::string Derived(const std::string& password, const std::vector<unsigned char>& salt, int rounds,
                    size_t length) {
  auto key = Pbkdf2HmacSha256(password, salt, rounds, length);
  return key ? HexDigits(key->data(), key->size()) : "failed";
}

TEST(Pbkdf2Test, MatchesPublishedVectorsAndEmptyInput) {
  // RFC 7914, section 11.
  EXPECT_EQ(Derived("passwd", Bytes("salt"), 1, 64),
            "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
            "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
  EXPECT_EQ(Derived("Password", Bytes("NaCl"), 80000, 64),
            "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
            "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");
  EXPECT_EQ(Derived("password", Bytes("salt"), 4096, 32),
            "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
  // An empty password and salt are valid input, not a failure.
  EXPECT_EQ(Derived("", {}, 1, 32),
            "f7ce0b653d2d72a4108cf5abe912ffdd777616dbbb27a70e8204f3ae2d0f6fad");
}

TEST(Pbkdf2Test, ConstantTimeEqualSeesADifferenceAnywhere) {
  const unsigned char a[] = {1, 2, 3, 4};
  const unsigned char first[] = {0, 2, 3, 4};
  const unsigned char last[] = {1, 2, 3, 5};
  EXPECT_TRUE(ConstantTimeEqual(a, a, sizeof a));
  EXPECT_FALSE(ConstantTimeEqual(a, first, sizeof a));
  EXPECT_FALSE(ConstantTimeEqual(a, last, sizeof a));
  EXPECT_TRUE(ConstantTimeEqual(a, last, 3));
  EXPECT_TRUE(ConstantTimeEqual(a, last, 0));
}

TEST(PasswordHashTest, AStoredRecordMatchesItsPasswordOnEverySystem) {
  // Made elsewhere: the first 32 bytes of the RFC 7914 vector above.
  PasswordRecord record{"73616c74", "1",
                        "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"};
  EXPECT_TRUE(PasswordMatches(record, L"passwd"));
  EXPECT_FALSE(PasswordMatches(record, L"passwd "));
  EXPECT_FALSE(PasswordMatches(record, L""));
  // A password beyond ASCII is hashed as UTF-8.
  PasswordRecord accented{"00112233445566778899aabbccddeeff", "3",
                          "02cf8ff621ac1795e46604bebc59e56e2c289e977d490bef1ed7d222ee736973"};
  EXPECT_TRUE(PasswordMatches(accented, L"p\u00e4ssw\u00f6rd"));

  PasswordRecord fresh = MakePasswordRecord(L"secret");
  EXPECT_TRUE(PasswordMatches(fresh, L"secret"));
  EXPECT_FALSE(PasswordMatches(fresh, L"Secret"));
  EXPECT_NE(MakePasswordRecord(L"secret").salt_hex, fresh.salt_hex);
}

}  // namespace
}  // namespace quorvalmist
