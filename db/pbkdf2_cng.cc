// PBKDF2-HMAC-SHA256 through Windows' Cryptography API: Next Generation
// (bcrypt), and a constant-time comparison of our own (CNG has none).
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <climits>

#include "db/pbkdf2.h"

namespace quorvalmist {

namespace {

// The HMAC-SHA256 provider, closed when it goes out of scope.
class HmacSha256Provider {
 public:
  HmacSha256Provider() {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                    BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
      handle_ = nullptr;
    }
  }
  ~HmacSha256Provider() {
    if (handle_) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  HmacSha256Provider(const HmacSha256Provider&) = delete;
  HmacSha256Provider& operator=(const HmacSha256Provider&) = delete;

  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

}  // namespace

std::optional<std::vector<unsigned char>> Pbkdf2HmacSha256(std::string_view password,
                                                           const std::vector<unsigned char>& salt,
                                                           int rounds, size_t length) {
  if (rounds < 1 || password.size() > ULONG_MAX || salt.size() > ULONG_MAX || length > ULONG_MAX) {
    return std::nullopt;
  }
  HmacSha256Provider provider;
  if (!provider.get()) return std::nullopt;
  // CNG takes the input buffers as non-const but does not write them. An
  // empty buffer is passed as a valid pointer with length 0.
  static unsigned char kNothing = 0;
  auto* password_bytes = password.empty()
                             ? &kNothing
                             : reinterpret_cast<unsigned char*>(const_cast<char*>(password.data()));
  auto* salt_bytes = salt.empty() ? &kNothing : const_cast<unsigned char*>(salt.data());
  std::vector<unsigned char> out(length);
  if (!BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(
          provider.get(), password_bytes, static_cast<ULONG>(password.size()), salt_bytes,
          static_cast<ULONG>(salt.size()), static_cast<ULONGLONG>(rounds), out.data(),
          static_cast<ULONG>(out.size()), 0))) {
    return std::nullopt;
  }
  return out;
}

bool ConstantTimeEqual(const unsigned char* a, const unsigned char* b, size_t length) {
  // Every byte is looked at; the volatile keeps the compiler from ending the
  // loop at the first difference.
  volatile unsigned char difference = 0;
  for (size_t i = 0; i < length; ++i) {
    difference = static_cast<unsigned char>(difference | (a[i] ^ b[i]));
  }
  return difference == 0;
}

}  // namespace quorvalmist
