// The salted hash by which a database records its password.
#ifndef QUORVALMIST_DB_PASSWORD_HASH_H_
#define QUORVALMIST_DB_PASSWORD_HASH_H_

#include <string>

namespace quorvalmist {

// One row of the password table: salt and hash as lower-case hex text, and
// the PBKDF2-HMAC-SHA256 round count (as decimal text, like every stored value).
struct PasswordRecord {
  std::string salt_hex;
  std::string rounds;
  std::string hash_hex;
};

// A record of `password` under a fresh random salt. Throws DbError when the
// system gives no random bytes.
PasswordRecord MakePasswordRecord(const std::wstring& password);

// True when `password` hashes to the record's hash. A malformed record (bad
// hex, a round count outside 1..10,000,000) matches no password, so a
// tampered file cannot make the open spin for hours.
bool PasswordMatches(const PasswordRecord& record, const std::wstring& password);

}  // namespace quorvalmist

#endif  // QUORVALMIST_DB_PASSWORD_HASH_H_
