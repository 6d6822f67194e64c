#include "common/temp_name.h"

#include <cstdint>

#include "platform/text.h"

namespace quorvalmist {

namespace {

// FNV-1a, 64 bits: stable across runs, builds and machines.
uint64_t NameHash(const std::string& bytes) {
  uint64_t h = 14695981039346656037ULL;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

std::string Hex16(uint64_t v) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s(16, '0');
  for (int i = 15; i >= 0; --i) {
    s[static_cast<size_t>(i)] = kDigits[v & 0xF];
    v >>= 4;
  }
  return s;
}

}  // namespace

std::wstring TempPathFor(const std::wstring& target) {
  std::string path = WideToNarrow(target);
  std::string suffix = WideToNarrow(kTempSuffix);
  size_t slash = path.rfind('/');
  size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  std::string name = path.substr(name_start);
  if (name.size() + suffix.size() <= kMaxNameBytes) return target + kTempSuffix;
  // The cut works on bytes: the name round-trips through the wide form byte
  // for byte, valid UTF-8 or not.
  std::string tag = "~" + Hex16(NameHash(name));
  std::string shortened = name.substr(0, kMaxNameBytes - suffix.size() - tag.size()) + tag + suffix;
  return NarrowToWide(path.substr(0, name_start) + shortened);
}

}  // namespace quorvalmist
