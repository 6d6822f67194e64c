#include "db/password_hash.h"

#include <sqlite3.h>

#include <charconv>
#include <optional>
#include <vector>

#include "db/db_error.h"
#include "db/pbkdf2.h"
#include "platform/random.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// Enough to make guessing from a stolen file slow, little enough that every
// open (one per task run) stays in the milliseconds.
constexpr int kRounds = 20000;
constexpr int kMaxRounds = 10000000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

std::string ToHex(const std::vector<unsigned char>& bytes) {
  return HexDigits(bytes.data(), bytes.size());
}

std::optional<std::vector<unsigned char>> FromHex(const std::string& hex) {
  if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  std::vector<unsigned char> bytes(hex.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto [ptr, ec] = std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, bytes[i], 16);
    if (ec != std::errc() || ptr != hex.data() + 2 * i + 2) return std::nullopt;
  }
  return bytes;
}

std::optional<std::vector<unsigned char>> Derive(const std::wstring& password,
                                                 const std::vector<unsigned char>& salt, int rounds,
                                                 size_t length) {
  return Pbkdf2HmacSha256(WideToNarrow(password), salt, rounds, length);
}

}  // namespace

PasswordRecord MakePasswordRecord(const std::wstring& password) {
  std::vector<unsigned char> salt(kSaltBytes);
  if (!FillRandom(salt.data(), salt.size())) {
    throw DbError(SQLITE_ERROR, L"No random bytes for the password salt.");
  }
  auto hash = Derive(password, salt, kRounds, kHashBytes);
  if (!hash) throw DbError(SQLITE_ERROR, L"The password could not be hashed.");
  return PasswordRecord{ToHex(salt), std::to_string(kRounds), ToHex(*hash)};
}

bool PasswordMatches(const PasswordRecord& record, const std::wstring& password) {
  int rounds = 0;
  const std::string& r = record.rounds;
  auto [ptr, ec] = std::from_chars(r.data(), r.data() + r.size(), rounds);
  if (ec != std::errc() || ptr != r.data() + r.size() || rounds < 1 || rounds > kMaxRounds) {
    return false;
  }
  auto salt = FromHex(record.salt_hex);
  auto expected = FromHex(record.hash_hex);
  if (!salt || !expected) return false;
  auto actual = Derive(password, *salt, rounds, expected->size());
  return actual && ConstantTimeEqual(actual->data(), expected->data(), expected->size());
}

}  // namespace quorvalmist
