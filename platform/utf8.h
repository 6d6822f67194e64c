// UTF-8 reading and writing shared by each platform's text conversion.
// Written by hand: the conversions need to say where a sequence is invalid
// (to escape its bytes) and to accept surrogates where a platform's names
// hold them, which neither the C++ library nor iconv offers.
#ifndef QUORVALMIST_PLATFORM_UTF8_H_
#define QUORVALMIST_PLATFORM_UTF8_H_

#include <cstddef>
#include <string>

namespace quorvalmist {

// The length (1 to 4) and value of the UTF-8 sequence at `p`, which has
// `left` bytes; 0 when the bytes there start none. Overlong forms and values
// above U+10FFFF are invalid; so are the three-byte forms of surrogates,
// unless `allow_surrogates`.
size_t DecodeUtf8(const unsigned char* p, size_t left, bool allow_surrogates, char32_t* out);

// Appends the UTF-8 form of `cp` (a surrogate gets its three-byte form).
void AppendUtf8(char32_t cp, std::string* out);

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_UTF8_H_
