// The system library's MD5 against the reference digests of RFC 1321, fed
// whole and in uneven pieces (a piece lost or repeated at a boundary changes
// the digest).
#include "common/md5_digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/text.h"

namespace quorvalmist {
namespace {

std::string DigestInPieces(const std::string& input, size_t piece) {
  auto md5 = Md5Digest::Create();
  if (!md5) return "no digest";
  for (size_t at = 0; at < input.size(); at += piece) {
    if (!md5->Update(input.data() + at, std::min(piece, input.size() - at))) return "update failed";
  }
  unsigned char digest[16];
  if (!md5->Finish(digest)) return "finish failed";
  return HexDigits(digest, sizeof digest);
}

TEST(Md5DigestTest, MatchesTheReferenceDigestsWholeAndInPieces) {
  struct Case {
    std::string input;
    std::string hex;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const Case& c : cases) {
    for (size_t piece :
         {std::max<size_t>(c.input.size(), 1), size_t{1}, size_t{7}, size_t{65536}}) {
      SCOPED_TRACE(::testing::Message() << c.input.size() << " bytes in pieces of " << piece);
      EXPECT_EQ(DigestInPieces(c.input, piece), c.hex);
    }
  }
}

}  // namespace
}  // namespace quorvalmist
