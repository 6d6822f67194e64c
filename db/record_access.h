// The record access layer: the process-wide connection to the task database,
// statement text built from quoted literals, rows read as text, record ids and
// the reporting of read errors. Every table operation is one statement built
// and run with these pieces.
#ifndef QUORVALMIST_DB_RECORD_ACCESS_H_
#define QUORVALMIST_DB_RECORD_ACCESS_H_

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "db/db_error.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quorvalmist {

// One row: column name to value. Keys compare case-sensitively. An empty map
// stands for "no row". The same type carries the columns of an update.
using ColumnMap = std::map<std::wstring, std::wstring>;

// The value of `name` in `row`; the empty text when the map has no such key
// (callers read columns of a map that may be empty).
std::wstring ColumnValue(const ColumnMap& row, const std::wstring& name);

// `value` as an SQL text literal: enclosed in single quotes, each single quote
// inside doubled. Every value enters a statement this way, numbers included.
std::wstring TextLiteral(std::wstring_view value);

// A new record id from 16 random bytes, formatted as a version-4 GUID with
// "%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X" (36 characters, upper-case
// digits except the lower-case third group). The empty text when the system
// gives no random bytes.
std::wstring NewRecordId();

// The rows of one executed query, positioned on the first row. Must not
// outlive the connection that made it. Move-only.
class Recordset {
 public:
  Recordset(Recordset&& other) noexcept;
  Recordset& operator=(Recordset&& other) noexcept;
  ~Recordset();

  // True when no current row is left.
  bool Eof() const { return eof_; }

  // The text of column `name` in the current row (column names match ignoring
  // ASCII case, as the engine matches them); nullopt for a NULL. A number is
  // read as its decimal text. Throws DbError when the result has no such column
  // or there is no current row.
  std::optional<std::wstring> Field(std::wstring_view name) const;

  // Moves to the next row. Throws DbError when the engine fails.
  void MoveNext();

 private:
  friend class TaskDbConnection;
  Recordset(sqlite3* db, sqlite3_stmt* statement);
  void Step();

  sqlite3* db_ = nullptr;
  sqlite3_stmt* statement_ = nullptr;
  bool eof_ = true;
  std::unordered_map<std::wstring, int> columns_;  // folded name -> index
};

// One open connection to a task database. Move-only; closing happens in the
// destructor.
class TaskDbConnection {
 public:
  // Opens the database that `connection_string` names (parsed as
  // ParseConnectionString does):
  // - "Data Source" is the file, relative to the current directory. It is
  //   opened read-write and never created: a missing file fails with "Could
  //   not find file '<absolute path>'." (SQLITE_CANTOPEN); a file that cannot
  //   be written fails too (SQLITE_READONLY).
  // - A file that is not a database fails with "Unrecognized database format
  //   '<absolute path>'." (SQLITE_NOTADB), and the file is left unchanged.
  // - "Jet OLEDB:Database Password" (absent: the empty text) must match the
  //   password the database recorded when it was created; a database that
  //   recorded none accepts only the empty text. Otherwise "Not a valid
  //   password." (SQLITE_AUTH).
  // - Other keys ("Provider", "Persist Security Info") are accepted and unused.
  // Several processes may hold connections to one file: statements wait up to
  // 10 s for another writer before they fail with SQLITE_BUSY.
  // Throws DbError on any failure; blocks only on that wait.
  static TaskDbConnection Open(const std::wstring& connection_string);

  TaskDbConnection(TaskDbConnection&& other) noexcept;
  TaskDbConnection& operator=(TaskDbConnection&& other) noexcept;
  ~TaskDbConnection();

  // Executes one statement that returns rows. Throws DbError when the engine
  // rejects it, or when the text holds more than one statement or a NUL
  // character (nothing is executed then).
  Recordset Query(const std::wstring& statement);

  // Executes one statement that changes rows, committed at once; how many
  // rows it changed is not looked at. Throws as Query does.
  void RunChange(const std::wstring& statement);

 private:
  explicit TaskDbConnection(sqlite3* db) : db_(db) {}
  sqlite3_stmt* Prepare(const std::wstring& statement);

  sqlite3* db_ = nullptr;
};

// The process-wide connection (TaskDbConnection of the design): opened once
// by the core's entry, used by every table operation, released at exit.
// Only the main thread uses it.

// Opens the process-wide connection; throws DbError as TaskDbConnection::Open
// does, and then leaves any earlier connection in place.
void OpenTaskDb(const std::wstring& connection_string);

// The process-wide connection. Throws DbError (SQLITE_MISUSE, "The task
// database is not open.") before OpenTaskDb has succeeded.
TaskDbConnection& TaskDb();

// Closes the process-wide connection, so that a test or tool can open another
// database in the same process.
void CloseTaskDbForTesting();

// The steps of every table operation, on the process-wide connection.

// Query: executes a statement that returns rows.
Recordset Query(const std::wstring& statement);

// Run a change: executes a statement that inserts or updates.
void RunChange(const std::wstring& statement);

// A column to read from a row. A NULL reads as `null_text`: "0" where the
// operation says so, otherwise the empty text. The empty text is the same
// value an inserted row holds in a column it leaves blank, so a row made by
// the front end with NULLs in it still loads and is handled like any other
// instead of failing the whole read.
struct ColumnRead {
  const wchar_t* name;
  const wchar_t* null_text = L"";
};

// Read a row: the named columns of the current row, all or none. Throws
// DbError (and then has built nothing) when a column is missing or there is
// no current row.
ColumnMap ReadRow(const Recordset& rows, std::initializer_list<ColumnRead> columns);

// Report a read error: one warning line with caption "info" and the error's
// description. Does not wait for anyone.
void ReportReadError(const DbError& error);

}  // namespace quorvalmist

#endif  // QUORVALMIST_DB_RECORD_ACCESS_H_
