// The copier's command: the six values that name one item's copy, as the
// core builds them and the copier takes them apart, in three forms: the
// argument vector a one-shot copier is started with, the command line text of
// the design (for messages), and the line a serving copier reads from its
// standard input for each item. Also the line with which a serving copier
// ends each item.
#ifndef QUORVALMIST_COMMON_COPIER_COMMAND_H_
#define QUORVALMIST_COMMON_COPIER_COMMAND_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvalmist {

// The copier's program name (without a path or an extension).
inline constexpr wchar_t kCopierProgramName[] = L"Skiffwright";

// The option that starts a copier which serves many items: it reads one item
// line (EncodeServedItem) after another from its standard input, copies each
// as a one-shot copier would, and after each prints the item's end line
// (ItemEndLine) on its standard output. It ends at the end of its input.
inline constexpr char kServeOption[] = "--serve";

// Given after kServeOption: the serving copier leaves the sync of the
// target's folder after each rename to the core, which syncs a folder once
// for all the renames in it that wait, before any of them counts as done.
inline constexpr char kCoreSyncsFoldersOption[] = "--core-syncs-folders";

struct CopierItem {
  std::wstring source;
  std::wstring target;
  // Where the copy begins; negative or beyond the source's size means
  // nothing is copied (the design's conversion of the text accepts a sign).
  int64_t start = 0;
  // The design's buffer-size value: passed along, never consulted (the chunk
  // size comes from config.cnf).
  std::wstring buffer = L"1024";
  // The core's marker (its task id): the copier stops when it is gone. Empty
  // for none.
  std::wstring task_id;
  std::wstring item_id;
};

// argv[1..6]: source, target, start, buffer, task id, item id.
std::vector<std::wstring> CopierArguments(const CopierItem& item);

// The command line as text, built by plain concatenation: program, quoted
// source, two blanks, quoted target, start, buffer, task id, item id.
std::wstring CopierCommandLine(const CopierItem& item);

// Takes the values from a whole argument vector (argv[0] first); nullopt when
// it has fewer than seven values. The start is converted as the C library's
// _wtoi64 would.
std::optional<CopierItem> ParseCopierArguments(const std::vector<std::wstring>& args);

// One item as a line for a serving copier: the six values in UTF-8, separated
// by tabs, each with backslash, tab, newline and carriage return escaped as
// \\ \t \n \r, and a newline at the end. Any path survives.
std::string EncodeServedItem(const CopierItem& item);

// The item of a line (without its newline); nullopt when it does not hold six
// values or has an escape that EncodeServedItem never writes.
std::optional<CopierItem> DecodeServedItem(const std::string& line);

// The line (newline included) that ends an item of a serving copier, with the
// exit code a one-shot copier would have ended with, as the system reports an
// exit code (its low byte: -1 reads 255).
inline constexpr char kItemEndPrefix[] = "end ";
std::string ItemEndLine(int exit_code);

// The exit code of an end line (without its newline); nullopt when `line`
// is not one.
std::optional<int> ParseItemEndLine(const std::string& line);

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_COPIER_COMMAND_H_
