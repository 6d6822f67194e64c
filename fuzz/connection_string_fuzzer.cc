// Fuzz target: connection strings. Any text either parses or is refused with
// the database error type; nothing else may escape.
#include <cstddef>
#include <cstdint>
#include <string>

#include "db/connection_string.h"
#include "db/db_error.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text =
      quorvalmist::NarrowToWide(std::string(reinterpret_cast<const char*>(data), size));
  try {
    quorvalmist::ConnectionSettings settings = quorvalmist::ParseConnectionString(text);
    for (const auto& [key, value] : settings) {
      if (key.empty()) __builtin_trap();
    }
  } catch (const quorvalmist::DbError&) {
  }
  return 0;
}
