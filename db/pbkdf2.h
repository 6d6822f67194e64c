// The key derivation and comparison behind the password record, from the
// system's crypto library: OpenSSL (pbkdf2_openssl.cc) or Windows' CNG
// (pbkdf2_cng.cc). The build takes one.
#ifndef QUORVALMIST_DB_PBKDF2_H_
#define QUORVALMIST_DB_PBKDF2_H_

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace quorvalmist {

// PBKDF2 with HMAC-SHA256: `length` bytes derived from `password` (any bytes,
// also none) and `salt` in `rounds` (at least 1) iterations. Nullopt when the
// library fails.
std::optional<std::vector<unsigned char>> Pbkdf2HmacSha256(std::string_view password,
                                                           const std::vector<unsigned char>& salt,
                                                           int rounds, size_t length);

// True when the `length` bytes at `a` and `b` are equal. Takes the same time
// wherever they differ, so a comparison with a stored hash tells an attacker
// nothing about how much of a guess was right.
bool ConstantTimeEqual(const unsigned char* a, const unsigned char* b, size_t length);

}  // namespace quorvalmist

#endif  // QUORVALMIST_DB_PBKDF2_H_
