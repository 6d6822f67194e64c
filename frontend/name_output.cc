#include "frontend/name_output.h"

#include <cstdio>

#include "platform/text.h"

namespace quorvalmist {

namespace {

// True when `name` is valid UTF-8: its wide form holds no surrogate escape
// (UTF-8 cannot encode a surrogate, so only bad bytes make one).
bool IsValidUtf8(const std::string& name) {
  for (wchar_t c : NarrowToWide(name)) {
    if (c >= 0xDC80 && c <= 0xDCFF) return false;
  }
  return true;
}

}  // namespace

std::string Printable(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    // Where the backslash separates folders (Windows) no name holds one, and
    // a path must stay a path the user can type.
    if (c == '\\' && !IsPathSeparator('\\')) {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void AddExactName(Json* object, const std::string& key, const std::string& name) {
  if (IsValidUtf8(name)) return;
  (*object)[key + "_hex"] = HexDigits(name.data(), name.size());
}

void PrintJson(const Json& json) {
  std::printf("%s\n", json.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

}  // namespace quorvalmist
