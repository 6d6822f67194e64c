#include "db/db_create.h"

#include <sqlite3.h>

#include <filesystem>

#include "db/connection_string.h"
#include "db/password_hash.h"
#include "db/schema.h"
#include "db/utf8_path.h"
#include "platform/file.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// Every column is TEXT, since every value is written as a text literal. Each
// index serves one look-up: (tcitemid, sourcefile) the existence check of
// every file of a directory run, (tcitemid, copystatus) the ready list,
// (tcitemid, dirpath) the searched-directory check, and the keys the loads and
// updates by id.
constexpr const char* kSchema = R"sql(
create table tcitem(id TEXT PRIMARY KEY, copytype TEXT, sourcedir TEXT, targetdir TEXT,
                    copystatus TEXT, finishnum TEXT, totalnum TEXT);
create table tcitem2(id TEXT PRIMARY KEY, tcitemid TEXT, sourcefile TEXT, targetfile TEXT,
                     positionnum TEXT, totalnum TEXT, copystatus TEXT, md5status TEXT);
create table tcsearch(id TEXT PRIMARY KEY, tcitemid TEXT, dirpath TEXT);
create index tcitem2_source on tcitem2(tcitemid, sourcefile);
create index tcitem2_status on tcitem2(tcitemid, copystatus);
create index tcsearch_dir on tcsearch(tcitemid, dirpath);
create table dbpassword(salt TEXT, rounds TEXT, hash TEXT);
)sql";

// The walk's problem table, also added to databases made before it existed.
constexpr const wchar_t* kWalkProblemSchema =
    L"create table if not exists tcproblem(id TEXT PRIMARY KEY, tcitemid TEXT, path TEXT, "
    L"reason TEXT);"
    L"create index if not exists tcproblem_path on tcproblem(tcitemid, path);";

void Exec(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::wstring description = NarrowToWide(message != nullptr ? message : "");
    sqlite3_free(message);
    throw DbError(sqlite3_extended_errcode(db), description);
  }
}

void Build(const std::filesystem::path& path, const std::wstring& password) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(Utf8FromPath(path).c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  struct Closer {
    sqlite3* db;
    ~Closer() { sqlite3_close_v2(db); }
  } closer{db};
  if (rc != SQLITE_OK) {
    throw DbError(
        rc, db != nullptr ? NarrowToWide(sqlite3_errmsg(db)) : NarrowToWide(sqlite3_errstr(rc)));
  }
  PasswordRecord record = MakePasswordRecord(password);
  // WAL is a property of the file: every later connection finds it on.
  Exec(db, "pragma journal_mode=wal");
  Exec(db, std::string("begin;") + kSchema + WideToNarrow(kWalkProblemSchema) +
               "insert into dbpassword(salt, rounds, hash) values('" + record.salt_hex + "','" +
               record.rounds + "','" + record.hash_hex + "');commit;");
}

bool IsTaskColumn(const std::wstring& name) {
  for (const wchar_t* column : {kIdColumn, kCopyTypeColumn, kSourceDirColumn, kTargetDirColumn,
                                kCopyStatusColumn, kFinishNumColumn, kTotalNumColumn}) {
    if (name == column) return true;
  }
  return false;
}

}  // namespace

void CreateTaskDb(const std::string& path, const std::wstring& password) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(PathFromUtf8(path), ec);
  if (ec || path.empty()) {
    throw DbError(SQLITE_CANTOPEN, L"Could not create file '" + NarrowToWide(path) + L"'.");
  }
  const std::string absolute_text = Utf8FromPath(absolute);
  const std::wstring shown = NarrowToWide(absolute_text);
  // The file is made here or not at all, so an existing one is never taken
  // over.
  File file;
  if (!File::Open(absolute_text, File::Mode::kCreateNew, &file).ok()) {
    if (std::filesystem::exists(absolute, ec)) {
      throw DbError(SQLITE_CANTOPEN, L"File '" + shown + L"' already exists.");
    }
    throw DbError(SQLITE_CANTOPEN, L"Could not create file '" + shown + L"'.");
  }
  file.Close();  // empty: SQLite writes it next, through a handle of its own
  try {
    Build(absolute, password);
  } catch (...) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      std::filesystem::remove(PathFromUtf8(absolute_text + suffix), ec);
    }
    throw;
  }
}

void CreateTaskDbFor(const std::wstring& connection_string) {
  ConnectionSettings settings = ParseConnectionString(connection_string);
  auto source = settings.find(std::wstring_view(kDataSourceKey));
  if (source == settings.end() || source->second.empty()) {
    throw DbError(SQLITE_MISUSE, L"The connection string names no data source.");
  }
  auto password = settings.find(std::wstring_view(kPasswordKey));
  CreateTaskDb(WideToNarrow(source->second),
               password == settings.end() ? std::wstring() : password->second);
}

std::wstring InsertTaskStatement(const ColumnMap& columns) {
  if (columns.empty()) throw DbError(SQLITE_MISUSE, L"A task row needs at least one column.");
  std::wstring names;
  std::wstring values;
  for (const auto& [name, value] : columns) {
    if (!IsTaskColumn(name)) {
      throw DbError(SQLITE_MISUSE, L"'" + name + L"' is not a column of tcitem.");
    }
    if (!names.empty()) {
      names += L",";
      values += L",";
    }
    names += name;
    values += TextLiteral(value);
  }
  return L"insert into tcitem(" + names + L") values(" + values + L")";
}

void InsertTask(const ColumnMap& columns) { RunChange(InsertTaskStatement(columns)); }

void AddMissingTables() {
  // One statement per change: the record access layer runs one at a time.
  std::wstring schema = kWalkProblemSchema;
  for (size_t start = 0, end; (end = schema.find(L';', start)) != std::wstring::npos;
       start = end + 1) {
    RunChange(schema.substr(start, end - start));
  }
}

}  // namespace quorvalmist
