// The MD5 digest of a byte stream, from the system's crypto library: OpenSSL
// (md5_openssl.cc) or Windows' CNG (md5_cng.cc). The build takes one.
#ifndef QUORVALMIST_COMMON_MD5_DIGEST_H_
#define QUORVALMIST_COMMON_MD5_DIGEST_H_

#include <cstddef>
#include <memory>

namespace quorvalmist {

class Md5Digest {
 public:
  // A digest of no data yet, or null when the library cannot give one.
  static std::unique_ptr<Md5Digest> Create();

  virtual ~Md5Digest() = default;

  // Adds `length` bytes. False when the library fails; the digest is then
  // of no use.
  virtual bool Update(const void* data, size_t length) = 0;

  // Writes the 16 digest bytes of everything added. Called once; false when
  // the library fails.
  virtual bool Finish(unsigned char digest[16]) = 0;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_MD5_DIGEST_H_
