// The one shape in which failures of the task database reach their callers.
#ifndef QUORVALMIST_DB_DB_ERROR_H_
#define QUORVALMIST_DB_DB_ERROR_H_

#include <exception>
#include <string>

namespace quorvalmist {

// A failed open or a statement that the engine refused. code() is the
// engine's extended result code (SQLite's SQLITE_* values: SQLITE_CANTOPEN for
// a missing file, SQLITE_NOTADB for a file that is no database, SQLITE_AUTH for
// a wrong password, SQLITE_MISUSE for a statement this layer refuses to run or
// a connection that is not open). description() is the text that a reading
// operation shows to the user; it may be empty.
class DbError : public std::exception {
 public:
  DbError(int code, std::wstring description);

  int code() const { return code_; }
  const std::wstring& description() const { return description_; }
  // The description as UTF-8.
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  int code_;
  std::wstring description_;
  std::string what_;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_DB_DB_ERROR_H_
