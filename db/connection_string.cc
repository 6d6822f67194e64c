#include "db/connection_string.h"

#include <sqlite3.h>

#include <algorithm>

#include "db/db_error.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring_view Trim(std::wstring_view text) { return TrimBlanks(text); }

[[noreturn]] void Malformed(std::wstring_view why) {
  throw DbError(SQLITE_MISUSE, L"Invalid connection string: " + std::wstring(why) + L".");
}

}  // namespace

bool ConnectionKeyLess::operator()(std::wstring_view a, std::wstring_view b) const {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](wchar_t x, wchar_t y) { return LowerAscii(x) < LowerAscii(y); });
}

ConnectionSettings ParseConnectionString(std::wstring_view text) {
  ConnectionSettings settings;
  size_t pos = 0;
  while (pos < text.size()) {
    // The key runs to the first "=" that is not part of "==".
    std::wstring key;
    bool found_equals = false;
    while (pos < text.size() && text[pos] != L';') {
      if (text[pos] == L'=') {
        if (pos + 1 < text.size() && text[pos + 1] == L'=') {
          key += L'=';
          pos += 2;
          continue;
        }
        found_equals = true;
        ++pos;
        break;
      }
      key += text[pos++];
    }
    std::wstring_view trimmed_key = Trim(key);
    if (!found_equals) {
      if (!trimmed_key.empty()) Malformed(L"\"" + key + L"\" has no value");
      ++pos;  // an empty segment: skip its ";"
      continue;
    }
    if (trimmed_key.empty()) Malformed(L"a value has no key");

    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    std::wstring value;
    if (pos < text.size() && (text[pos] == L'"' || text[pos] == L'\'')) {
      const wchar_t quote = text[pos++];
      bool closed = false;
      while (pos < text.size()) {
        if (text[pos] == quote) {
          if (pos + 1 < text.size() && text[pos + 1] == quote) {
            value += quote;
            pos += 2;
            continue;
          }
          closed = true;
          ++pos;
          break;
        }
        value += text[pos++];
      }
      if (!closed)
        Malformed(L"the value of \"" + std::wstring(trimmed_key) + L"\" has no closing quote");
      while (pos < text.size() && IsBlank(text[pos])) ++pos;
      if (pos < text.size() && text[pos] != L';') {
        Malformed(L"text follows the quoted value of \"" + std::wstring(trimmed_key) + L"\"");
      }
    } else {
      size_t end = text.find(L';', pos);
      if (end == std::wstring_view::npos) end = text.size();
      value = Trim(text.substr(pos, end - pos));
      pos = end;
    }
    ++pos;  // past the ";" (or the end)
    settings.insert_or_assign(std::wstring(trimmed_key), std::move(value));
  }
  return settings;
}

}  // namespace quorvalmist
