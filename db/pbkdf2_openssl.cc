// PBKDF2-HMAC-SHA256 and the constant-time comparison through OpenSSL.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "db/pbkdf2.h"

namespace quorvalmist {

std::optional<std::vector<unsigned char>> Pbkdf2HmacSha256(std::string_view password,
                                                           const std::vector<unsigned char>& salt,
                                                           int rounds, size_t length) {
  std::vector<unsigned char> out(length);
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                        static_cast<int>(salt.size()), rounds, EVP_sha256(),
                        static_cast<int>(out.size()), out.data()) != 1) {
    return std::nullopt;
  }
  return out;
}

bool ConstantTimeEqual(const unsigned char* a, const unsigned char* b, size_t length) {
  return CRYPTO_memcmp(a, b, length) == 0;
}

}  // namespace quorvalmist
