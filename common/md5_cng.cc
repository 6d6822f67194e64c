// MD5 through Windows' Cryptography API: Next Generation (bcrypt).
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <algorithm>
#include <memory>

#include "common/md5_digest.h"

namespace quorvalmist {

namespace {

class CngMd5Digest : public Md5Digest {
 public:
  ~CngMd5Digest() override {
    if (hash_) BCryptDestroyHash(hash_);
    if (algorithm_) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }

  // Opens the provider and a hash object on it; false when CNG refuses.
  bool Open() {
    return BCRYPT_SUCCESS(
               BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_MD5_ALGORITHM, nullptr, 0)) &&
           BCRYPT_SUCCESS(BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0));
  }

  bool Update(const void* data, size_t length) override {
    // CNG takes at most a ULONG of bytes per call.
    auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
    while (length > 0) {
      ULONG part = static_cast<ULONG>(std::min<size_t>(length, 0x80000000u));
      if (!BCRYPT_SUCCESS(BCryptHashData(hash_, bytes, part, 0))) return false;
      bytes += part;
      length -= part;
    }
    return true;
  }

  bool Finish(unsigned char digest[16]) override {
    return BCRYPT_SUCCESS(BCryptFinishHash(hash_, digest, 16, 0));
  }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
};

}  // namespace

std::unique_ptr<Md5Digest> Md5Digest::Create() {
  auto digest = std::make_unique<CngMd5Digest>();
  if (!digest->Open()) return nullptr;
  return digest;
}

}  // namespace quorvalmist
