// Names of the task database: the connection string, tables, columns and the
// status words stored in them. Every value is stored as text.
#ifndef QUORVALMIST_DB_SCHEMA_H_
#define QUORVALMIST_DB_SCHEMA_H_

namespace quorvalmist {

// The core opens the database with exactly this text. "Data Source" is
// relative to the current directory.
inline constexpr const wchar_t* kConnectionString =
    L"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=fm2.qz;Persist Security Info=False;"
    L"Jet OLEDB:Database Password=vomtrek";

// Keys of the connection string that the open uses (matched ignoring case).
inline constexpr const wchar_t* kDataSourceKey = L"Data Source";
inline constexpr const wchar_t* kPasswordKey = L"Jet OLEDB:Database Password";

// One row per copy task; read-only for the core.
inline constexpr const wchar_t* kTaskTable = L"tcitem";
// One row per file of a task (an "item").
inline constexpr const wchar_t* kItemTable = L"tcitem2";
// One row per directory of a task whose scan was completed.
inline constexpr const wchar_t* kSearchTable = L"tcsearch";
// One row per path below a task's source root that its walk could not handle
// (a directory that could not be listed, a path too long for the system), with
// the reason in words; the front end reports them.
inline constexpr const wchar_t* kWalkProblemTable = L"tcproblem";

inline constexpr const wchar_t* kIdColumn = L"id";
// tcitem
inline constexpr const wchar_t* kCopyTypeColumn = L"copytype";
inline constexpr const wchar_t* kSourceDirColumn = L"sourcedir";
inline constexpr const wchar_t* kTargetDirColumn = L"targetdir";
inline constexpr const wchar_t* kFinishNumColumn = L"finishnum";
// tcitem and tcitem2
inline constexpr const wchar_t* kCopyStatusColumn = L"copystatus";
inline constexpr const wchar_t* kTotalNumColumn = L"totalnum";
// tcitem2 and tcsearch: the id of the task the row belongs to.
inline constexpr const wchar_t* kTaskIdColumn = L"tcitemid";
// tcitem2
inline constexpr const wchar_t* kSourceFileColumn = L"sourcefile";
inline constexpr const wchar_t* kTargetFileColumn = L"targetfile";
inline constexpr const wchar_t* kPositionNumColumn = L"positionnum";
inline constexpr const wchar_t* kMd5StatusColumn = L"md5status";
// tcsearch
inline constexpr const wchar_t* kDirPathColumn = L"dirpath";
// tcproblem
inline constexpr const wchar_t* kPathColumn = L"path";
inline constexpr const wchar_t* kReasonColumn = L"reason";

// Task copy types.
inline constexpr const wchar_t* kCopyTypeDir = L"dir";
inline constexpr const wchar_t* kCopyTypeFiles = L"files";

// copystatus of a tcitem2 row, stored in lower case exactly as here.
inline constexpr const wchar_t* kStatusReady = L"ready";
inline constexpr const wchar_t* kStatusRunning = L"running";
inline constexpr const wchar_t* kStatusStop = L"stop";
inline constexpr const wchar_t* kStatusFinish = L"finish";
inline constexpr const wchar_t* kStatusSuccess = L"success";
inline constexpr const wchar_t* kStatusError = L"error";
// Written by the front end only: an entry that is not a file that can be
// copied (a FIFO, socket, device or broken link). It is reported once and
// never tried again; neither run picks it up.
inline constexpr const wchar_t* kStatusSkipped = L"skipped";

// md5status of a tcitem2 row.
inline constexpr const wchar_t* kMd5Uncheck = L"md5uncheck";
inline constexpr const wchar_t* kMd5Ok = L"md5ok";
inline constexpr const wchar_t* kMd5Error = L"md5error";

// The engine has no database password of its own, so the creator records a
// salted hash of it in this table (one row) and the open checks it.
inline constexpr const wchar_t* kPasswordTable = L"dbpassword";

}  // namespace quorvalmist

#endif  // QUORVALMIST_DB_SCHEMA_H_
