// Parsing of connection strings as the OLE DB layer parses them.
#ifndef QUORVALMIST_DB_CONNECTION_STRING_H_
#define QUORVALMIST_DB_CONNECTION_STRING_H_

#include <map>
#include <string>
#include <string_view>

namespace quorvalmist {

// Orders keys ignoring ASCII letter case, so "data source" finds "Data Source".
struct ConnectionKeyLess {
  using is_transparent = void;
  bool operator()(std::wstring_view a, std::wstring_view b) const;
};

using ConnectionSettings = std::map<std::wstring, std::wstring, ConnectionKeyLess>;

// Splits `text` into key=value pairs separated by ";".
// - Blanks around keys and unquoted values are dropped; empty segments are
//   skipped. "==" inside a key stands for one "=".
// - A value may be enclosed in single or double quotes; it then keeps its
//   blanks and may hold ";" and "=", and the enclosing quote character doubled
//   stands for one. Only blanks may follow the closing quote.
// - When a key occurs more than once, the last occurrence wins.
// Throws DbError (SQLITE_MISUSE) for a segment without "=", an empty key or
// an unterminated quote. Pure: touches nothing outside its arguments.
ConnectionSettings ParseConnectionString(std::wstring_view text);

}  // namespace quorvalmist

#endif  // QUORVALMIST_DB_CONNECTION_STRING_H_
