#include "db/record_access.h"

#include <sqlite3.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <utility>

#include "db/connection_string.h"
#include "db/password_hash.h"
#include "db/schema.h"
#include "db/utf8_path.h"
#include "platform/console.h"
#include "platform/random.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// Long enough for another process's insert or checkpoint, short enough that
// a database held by a hung process is reported instead of waited for.
constexpr int kBusyTimeoutMs = 10000;

struct StatementDeleter {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

DbError EngineError(sqlite3* db) {
  return DbError(sqlite3_extended_errcode(db), NarrowToWide(sqlite3_errmsg(db)));
}

DbError NotOpen() { return DbError(SQLITE_MISUSE, L"The task database is not open."); }

std::wstring FoldName(std::wstring_view name) { return LowerAscii(name); }

// Reads the first row's single text column of a query, or nullopt for no row.
std::optional<std::wstring> FirstText(TaskDbConnection& db, const std::wstring& statement,
                                      std::wstring_view column) {
  Recordset rows = db.Query(statement);
  if (rows.Eof()) return std::nullopt;
  return rows.Field(column).value_or(L"");
}

// Checks `password` against the record the creator left; a database without
// one has no password and accepts only the empty text.
void CheckPassword(TaskDbConnection& db, const std::wstring& password) {
  const std::wstring table = kPasswordTable;
  bool has_table =
      FirstText(db,
                L"select name from sqlite_master where type='table' and name=" + TextLiteral(table),
                L"name")
          .has_value();
  bool matches = password.empty();
  if (has_table) {
    Recordset rows = db.Query(L"select salt, rounds, hash from " + table);
    if (!rows.Eof()) {
      PasswordRecord record{WideToNarrow(rows.Field(L"salt").value_or(L"")),
                            WideToNarrow(rows.Field(L"rounds").value_or(L"")),
                            WideToNarrow(rows.Field(L"hash").value_or(L""))};
      matches = PasswordMatches(record, password);
    }
  }
  if (!matches) throw DbError(SQLITE_AUTH, L"Not a valid password.");
}

// Several processes share the file: the creator turns WAL on for good, and
// this turns it on for a file made otherwise. Failing to switch is no error,
// since the rollback journal shares the file safely too, only slower.
// synchronous=NORMAL makes a commit skip the fsync of the WAL: the file stays
// consistent after any crash, and only a power loss can take back the last
// few commits, which a resumed run redoes. Without it every item insert and
// status update would wait for the disk.
void TuneForSharing(TaskDbConnection& db) {
  try {
    auto mode = FirstText(db, L"pragma journal_mode", L"journal_mode");
    if (!mode || !EqualsIgnoringCase(*mode, L"wal")) db.RunChange(L"pragma journal_mode=wal");
  } catch (const DbError&) {
  }
  db.RunChange(L"pragma synchronous=normal");
}

}  // namespace

std::wstring ColumnValue(const ColumnMap& row, const std::wstring& name) {
  auto it = row.find(name);
  return it == row.end() ? std::wstring() : it->second;
}

std::wstring TextLiteral(std::wstring_view value) {
  std::wstring literal;
  literal.reserve(value.size() + 2);
  literal += L'\'';
  for (wchar_t c : value) {
    if (c == L'\'') literal += L'\'';
    literal += c;
  }
  literal += L'\'';
  return literal;
}

std::wstring NewRecordId() {
  unsigned char b[16];
  if (!FillRandom(b, sizeof b)) return std::wstring();
  unsigned long data1 = (static_cast<unsigned long>(b[0]) << 24) |
                        (static_cast<unsigned long>(b[1]) << 16) |
                        (static_cast<unsigned long>(b[2]) << 8) | b[3];
  unsigned data2 = (static_cast<unsigned>(b[4]) << 8) | b[5];
  // Version 4 and the RFC 4122 variant, as the system's own GUIDs carry.
  unsigned data3 = ((static_cast<unsigned>(b[6]) << 8 | b[7]) & 0x0FFF) | 0x4000;
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char buffer[64] = {};
  std::snprintf(buffer, sizeof buffer, "%08lX-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X", data1,
                data2, data3, b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return NarrowToWide(buffer);
}

// Recordset

Recordset::Recordset(sqlite3* db, sqlite3_stmt* statement) : db_(db), statement_(statement) {
  int count = sqlite3_column_count(statement_);
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(statement_, i);
    if (name != nullptr) columns_.emplace(FoldName(NarrowToWide(name)), i);
  }
}

Recordset::Recordset(Recordset&& other) noexcept
    : db_(other.db_),
      statement_(std::exchange(other.statement_, nullptr)),
      eof_(std::exchange(other.eof_, true)),
      columns_(std::move(other.columns_)) {}

Recordset& Recordset::operator=(Recordset&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(statement_);
    db_ = other.db_;
    statement_ = std::exchange(other.statement_, nullptr);
    eof_ = std::exchange(other.eof_, true);
    columns_ = std::move(other.columns_);
  }
  return *this;
}

Recordset::~Recordset() { sqlite3_finalize(statement_); }

void Recordset::Step() {
  int rc = sqlite3_step(statement_);
  if (rc == SQLITE_ROW) {
    eof_ = false;
  } else if (rc == SQLITE_DONE) {
    eof_ = true;
  } else {
    eof_ = true;
    throw EngineError(db_);
  }
}

void Recordset::MoveNext() {
  if (eof_) throw DbError(SQLITE_MISUSE, L"There is no current row.");
  Step();
}

std::optional<std::wstring> Recordset::Field(std::wstring_view name) const {
  if (eof_) throw DbError(SQLITE_MISUSE, L"There is no current row.");
  auto it = columns_.find(FoldName(name));
  if (it == columns_.end()) {
    throw DbError(SQLITE_ERROR, L"The result has no column '" + std::wstring(name) + L"'.");
  }
  int index = it->second;
  if (sqlite3_column_type(statement_, index) == SQLITE_NULL) return std::nullopt;
  // Text is taken with its byte count: a value may hold bytes that are not
  // UTF-8 (escaped file names), which must come back exactly.
  const unsigned char* text = sqlite3_column_text(statement_, index);
  if (text == nullptr) throw EngineError(db_);
  int bytes = sqlite3_column_bytes(statement_, index);
  return NarrowToWide(
      std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes)));
}

// TaskDbConnection

TaskDbConnection TaskDbConnection::Open(const std::wstring& connection_string) {
  ConnectionSettings settings = ParseConnectionString(connection_string);
  auto source = settings.find(std::wstring_view(kDataSourceKey));
  if (source == settings.end() || source->second.empty()) {
    throw DbError(SQLITE_MISUSE, L"The connection string names no data source.");
  }
  auto password_setting = settings.find(std::wstring_view(kPasswordKey));
  std::wstring password =
      password_setting == settings.end() ? std::wstring() : password_setting->second;

  std::string name = WideToNarrow(source->second);
  if (name.find('\0') != std::string::npos) {
    throw DbError(SQLITE_CANTOPEN, L"Could not find file '" + source->second + L"'.");
  }
  // An absolute path also keeps a name such as "file:x" from being read as a
  // URI by an engine built to accept them.
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(PathFromUtf8(name), ec);
  if (ec) path = PathFromUtf8(name);
  const std::wstring shown_path = NarrowToWide(Utf8FromPath(path));
  if (!std::filesystem::exists(path, ec)) {
    throw DbError(SQLITE_CANTOPEN, L"Could not find file '" + shown_path + L"'.");
  }

  // Without SQLITE_OPEN_CREATE a file that vanished since the check above
  // fails the open instead of being made anew.
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(Utf8FromPath(path).c_str(), &raw,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  TaskDbConnection db(raw);  // closes `raw` on every way out
  if (rc != SQLITE_OK) {
    if (raw == nullptr) throw DbError(rc, NarrowToWide(sqlite3_errstr(rc)));
    throw DbError(sqlite3_extended_errcode(raw),
                  NarrowToWide(sqlite3_errmsg(raw)) + L" '" + shown_path + L"'");
  }
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  if (sqlite3_db_readonly(raw, "main") == 1) {
    throw DbError(SQLITE_READONLY,
                  L"The database file '" + shown_path + L"' cannot be opened for writing.");
  }
  try {
    CheckPassword(db, password);
  } catch (const DbError& error) {
    if ((error.code() & 0xFF) == SQLITE_NOTADB) {
      throw DbError(error.code(), L"Unrecognized database format '" + shown_path + L"'.");
    }
    throw;
  }
  TuneForSharing(db);
  return db;
}

TaskDbConnection::TaskDbConnection(TaskDbConnection&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)) {}

TaskDbConnection& TaskDbConnection::operator=(TaskDbConnection&& other) noexcept {
  if (this != &other) {
    sqlite3_close_v2(db_);
    db_ = std::exchange(other.db_, nullptr);
  }
  return *this;
}

// close_v2: a Recordset still alive keeps the handle until it is finalized.
TaskDbConnection::~TaskDbConnection() { sqlite3_close_v2(db_); }

sqlite3_stmt* TaskDbConnection::Prepare(const std::wstring& statement) {
  if (db_ == nullptr) throw NotOpen();
  std::string sql = WideToNarrow(statement);
  // The engine would end the text at a NUL and quietly drop the rest.
  if (sql.find('\0') != std::string::npos) {
    throw DbError(SQLITE_MISUSE, L"The statement holds a NUL character.");
  }
  if (sql.size() >= static_cast<size_t>(INT_MAX)) {
    throw DbError(SQLITE_TOOBIG, L"The statement is too long.");
  }
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &raw, &tail) != SQLITE_OK) {
    throw EngineError(db_);
  }
  StatementPtr first(raw);
  if (!first) throw DbError(SQLITE_MISUSE, L"The statement is empty.");
  // One call runs one statement. Whatever follows the first must compile to
  // nothing (blanks, comments, a ";"), so no second statement can hide there.
  const char* end = sql.data() + sql.size();
  if (tail != nullptr && tail < end) {
    sqlite3_stmt* extra = nullptr;
    int rc = sqlite3_prepare_v2(db_, tail, static_cast<int>(end - tail), &extra, nullptr);
    StatementPtr second(extra);
    if (rc != SQLITE_OK || second) {
      throw DbError(SQLITE_MISUSE, L"Characters found after end of SQL statement.");
    }
  }
  return first.release();
}

Recordset TaskDbConnection::Query(const std::wstring& statement) {
  Recordset rows(db_, Prepare(statement));
  rows.Step();
  return rows;
}

void TaskDbConnection::RunChange(const std::wstring& statement) {
  StatementPtr prepared(Prepare(statement));
  for (;;) {
    int rc = sqlite3_step(prepared.get());
    if (rc == SQLITE_DONE) return;
    if (rc != SQLITE_ROW) throw EngineError(db_);
  }
}

// The process-wide connection

namespace {

// Released at exit, which lets the engine fold the WAL back into the file.
std::unique_ptr<TaskDbConnection>& ProcessConnection() {
  static std::unique_ptr<TaskDbConnection> connection;
  return connection;
}

}  // namespace

void OpenTaskDb(const std::wstring& connection_string) {
  auto opened = std::make_unique<TaskDbConnection>(TaskDbConnection::Open(connection_string));
  ProcessConnection() = std::move(opened);
}

TaskDbConnection& TaskDb() {
  if (!ProcessConnection()) throw NotOpen();
  return *ProcessConnection();
}

void CloseTaskDbForTesting() { ProcessConnection().reset(); }

Recordset Query(const std::wstring& statement) { return TaskDb().Query(statement); }

void RunChange(const std::wstring& statement) { TaskDb().RunChange(statement); }

ColumnMap ReadRow(const Recordset& rows, std::initializer_list<ColumnRead> columns) {
  ColumnMap row;
  for (const ColumnRead& column : columns) {
    row.emplace(column.name, rows.Field(column.name).value_or(column.null_text));
  }
  return row;
}

void ReportReadError(const DbError& error) { ShowWarning(L"info", error.description()); }

}  // namespace quorvalmist
