// Making a task database, for the front end and for tests. The core itself
// never creates or alters tables.
#ifndef QUORVALMIST_DB_DB_CREATE_H_
#define QUORVALMIST_DB_DB_CREATE_H_

#include <string>

#include "db/record_access.h"

namespace quorvalmist {

// Creates the database file `path` (relative to the current directory) with
// the tables tcitem, tcitem2, tcsearch and tcproblem (every column TEXT, id the key of
// each), the indexes that keep every look-up of the table operations fast,
// WAL journal mode, and a salted hash of `password`. Throws DbError when
// `path` already exists (nothing is touched then) or the creation fails (then
// the half-made file is removed).
void CreateTaskDb(const std::string& path, const std::wstring& password);

// Creates the database that `connection_string` opens: its "Data Source", its
// "Jet OLEDB:Database Password". Throws DbError as CreateTaskDb does, and for
// a connection string without a data source.
void CreateTaskDbFor(const std::wstring& connection_string);

// "insert into tcitem(<names>) values(<literals>)" for the columns of
// `columns`, in key order. Columns left out are NULL. Throws DbError
// (SQLITE_MISUSE) for an empty map or a name that is not a tcitem column.
std::wstring InsertTaskStatement(const ColumnMap& columns);

// Inserts a task row on the process-wide connection. Throws DbError.
void InsertTask(const ColumnMap& columns);

// Adds to the database of the process-wide connection the tables that
// databases made by earlier versions lack (the walk's problem table); changes
// nothing where they exist. Throws DbError.
void AddMissingTables();

}  // namespace quorvalmist

#endif  // QUORVALMIST_DB_DB_CREATE_H_
