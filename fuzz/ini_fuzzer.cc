// Fuzz target: the INI text model. Any bytes must parse, print and re-parse
// without a crash, and a key that was set must read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/ini_text.h"
#include "platform/text.h"

namespace {

// Names and values as the programs write them: no line breaks, no brackets,
// no "=" in names, no blanks at the ends.
std::wstring Clean(std::wstring s, bool is_name) {
  std::wstring out;
  for (wchar_t c : s) {
    if (c == L'\n' || c == L'\r' || c == L'[' || c == L']' || c == L';' || c == L'#') continue;
    if (is_name && c == L'=') continue;
    if (c == L' ' || c == L'\t' || c == L'"' || c == L'\'') continue;
    out.push_back(c);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::wstring text = quorvalmist::NarrowToWide(bytes);
  quorvalmist::IniText ini = quorvalmist::IniText::Parse(text);
  // Section, key and value are taken from the input's first line.
  std::wstring first = text.substr(0, text.find(L'\n'));
  size_t third = first.size() / 3;
  std::wstring section = Clean(first.substr(0, third), true);
  std::wstring key = Clean(first.substr(third, third), true);
  std::wstring value = Clean(first.substr(2 * third), false);
  (void)ini.Get(section, key);
  if (!section.empty() && !key.empty()) {
    ini.Set(section, key, value);
    quorvalmist::IniText again = quorvalmist::IniText::Parse(ini.ToText());
    auto read = again.Get(section, key);
    if (!read || *read != value) std::abort();
  }
  ini.RemoveSections({L"system"});
  (void)ini.ToText();
  return 0;
}
