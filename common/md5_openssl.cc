// MD5 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "common/md5_digest.h"

namespace quorvalmist {

namespace {

class OpenSslMd5Digest : public Md5Digest {
 public:
  explicit OpenSslMd5Digest(EVP_MD_CTX* ctx) : ctx_(ctx, EVP_MD_CTX_free) {}

  bool Update(const void* data, size_t length) override {
    return EVP_DigestUpdate(ctx_.get(), data, length) == 1;
  }

  bool Finish(unsigned char digest[16]) override {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), out, &length) != 1 || length != 16) return false;
    std::copy(out, out + 16, digest);
    return true;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx_;
};

}  // namespace

std::unique_ptr<Md5Digest> Md5Digest::Create() {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (!ctx) return nullptr;
  auto digest = std::make_unique<OpenSslMd5Digest>(ctx);
  if (EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) != 1) return nullptr;
  return digest;
}

}  // namespace quorvalmist
