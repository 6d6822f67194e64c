// The three configuration files shared by the front end and both programs,
// and the seven one-key operations through which every access goes. Reads
// never fail (a missing file, section or key gives the default) and see at most
// ProfileValueCapacity - 1 characters; writes ignore failure.
#ifndef QUORVALMIST_COMMON_CONFIG_STORE_H_
#define QUORVALMIST_COMMON_CONFIG_STORE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvalmist {

// Every read goes through a buffer of this many characters.
inline constexpr size_t ProfileValueCapacity = 20;

// The section of config.cnf and core.cnf that holds the settings the programs
// run with.
inline constexpr wchar_t kSystemSection[] = L"system";
// The values of the on/off settings ("resumeinside", "sync",
// "servingcopiers").
inline constexpr wchar_t kSettingOn[] = L"1";
inline constexpr wchar_t kSettingOff[] = L"0";

// "runstatus" of a task's section in core.cnf and of an item's section in
// inner.cnf: kRunStatusRun (any case) lets the run go on; anything else, as a
// rule kRunStatusStop, stops it.
inline constexpr wchar_t kRunStatusKey[] = L"runstatus";
inline constexpr wchar_t kRunStatusRun[] = L"run";
inline constexpr wchar_t kRunStatusStop[] = L"stop";

// Core: "runstatus" of section `task_id` in core.cnf, default "stop".
std::wstring ReadTaskRunStatus(const std::wstring& task_id);
// Core: sets "foundbytes" of section `task_id` in inner.cnf: the bytes of the
// targets this run found already in place and equal to their sources, so not
// copied. (The core writes nothing into core.cnf or config.cnf: they are the
// front end's, and a write there could undo a stop written meanwhile.)
void WriteTaskFoundBytes(const std::wstring& task_id, uint64_t bytes);
// Front end: "foundbytes" of section `task_id` in inner.cnf, default 0.
uint64_t ReadTaskFoundBytes(const std::wstring& task_id);
// Front end: removes section `task_id` from inner.cnf (the run's notes from
// the core and the copier: "foundbytes", "notkept"), before a run (so its
// figures start at 0) and once they have been read.
void ClearTaskRunNotes(const std::wstring& task_id);
// Core: "frontend" of section `task_id` in core.cnf, default "": the process
// id of the front end that started the run, which holds the marker
// FrontEndOwnMarkerName(value) while it lives.
inline constexpr wchar_t kFrontEndKey[] = L"frontend";
std::wstring ReadTaskFrontEnd(const std::wstring& task_id);
// Core: "pacing" of section "system" in core.cnf, default "paced": "brisk"
// drops the pauses of the walk and ends the wait for a copier as soon as it
// prints or ends.
inline constexpr wchar_t kPacingKey[] = L"pacing";
inline constexpr wchar_t kPacingPaced[] = L"paced";
inline constexpr wchar_t kPacingBrisk[] = L"brisk";
std::wstring ReadPacing();
// Core: "resumeinside" of section "system" in core.cnf, default "0": "1" has
// a copy that finds its temporary file resume inside it instead of at 0.
inline constexpr wchar_t kResumeInsideKey[] = L"resumeinside";
std::wstring ReadResumeInsideFlag();
// Core: "checkfileflag" of section "system" in core.cnf, default "0". When the
// file is there but cannot be read at the moment, the value last read by this
// process is kept ("0" if none was), so that a brief fault never turns
// verification off; a missing file or key still gives the default.
inline constexpr wchar_t kCheckFileFlagKey[] = L"checkfileflag";
std::wstring ReadCheckFileFlag();
// Core: "position" of section `item_key` in inner.cnf, default "0".
std::wstring ReadItemPosition(const std::wstring& item_key);
// Core: sets "runstatus" of section `item_key` in inner.cnf.
void WriteItemRunStatus(const std::wstring& item_key, const std::wstring& value);
// Copier: "runstatus" of section `item_key` in inner.cnf, default "stop".
std::wstring ReadItemRunStatus(const std::wstring& item_key);
// Copier: "buffersize" of section "system" in config.cnf, default "1024".
inline constexpr wchar_t kBufferSizeKey[] = L"buffersize";
std::wstring ReadBufferSize();
// Copier and core: sets "reason" of section `item_key` in inner.cnf: why the
// item's copy did not complete, in words for the user.
void WriteItemReason(const std::wstring& item_key, const std::wstring& value);
// Front end: "reason" of section `item_key` in inner.cnf, default "", read
// whole (not through the 20-character buffer of the design's keys).
std::wstring ReadItemReason(const std::wstring& item_key);
// Core: sets "verifying" (the bytes the MD5 comparison reads, of both files)
// and "verified" (those read so far) of section `item_key` in inner.cnf, while
// the item's copy is compared with its source.
void WriteItemVerification(const std::wstring& item_key, uint64_t verifying, uint64_t verified);
// Front end: those two values; false (and nothing set) when the item's copy is
// not being compared.
bool ReadItemVerification(const std::wstring& item_key, uint64_t* verifying, uint64_t* verified);
// Copier: sets "position" of section `item_key` in inner.cnf.
void WriteItemPosition(const std::wstring& item_key, const std::wstring& value);
// Copier: adds `what` ("mode" or "owner") to "notkept" of section `task_id`
// in inner.cnf: the target's file system did not keep that attribute of a
// file this task copied. Written only when the word is not there yet.
void NoteAttributeNotKept(const std::wstring& task_id, const std::wstring& what);
// Front end: "notkept" of section `task_id` in inner.cnf ("" when all were
// kept).
std::wstring ReadAttributesNotKept(const std::wstring& task_id);

// Copier and front end: "sync" of section "system" in config.cnf, default
// "1". Any value but 0 makes every finished copy durable before it counts.
inline constexpr wchar_t kSyncKey[] = L"sync";
std::wstring ReadSyncSetting();
bool SyncEnabled();
// Core: "verifyfrom" of section "system" in core.cnf, default "disk": the MD5
// of a copy is read from the device; "cache" reads it from the page cache.
inline constexpr wchar_t kVerifyFromKey[] = L"verifyfrom";
inline constexpr wchar_t kVerifyFromDisk[] = L"disk";
inline constexpr wchar_t kVerifyFromCache[] = L"cache";
std::wstring ReadVerifyFrom();
bool VerifyFromDisk();
// Core and front end: "links" of the task's section in core.cnf, else of
// section "system", default "follow": a link to a file is copied as the
// file's content and a link to a directory is entered (not one back up the
// tree, which is named as a cycle; see RunDirectoryMode). "keep" makes every
// symbolic link of a directory task a link in the target, with the same text.
inline constexpr wchar_t kLinksKey[] = L"links";
inline constexpr wchar_t kLinksFollow[] = L"follow";
inline constexpr wchar_t kLinksKeep[] = L"keep";
std::wstring ReadLinkMode(const std::wstring& task_id);
bool KeepLinks(const std::wstring& task_id);

// Core: "servingcopiers" of section "system" in core.cnf, default "0": "1"
// has the core start copiers that stay alive and copy one item after another
// (common/copier_command.h) instead of one copier process per file.
inline constexpr wchar_t kServingCopiersKey[] = L"servingcopiers";
bool ServingCopiers();
// Core and front end: "jobs" of the task's section in core.cnf, else of
// section "system", default "1": how many items the core copies at once. A
// value below 1 counts as 1, one above kMostJobs as kMostJobs.
inline constexpr wchar_t kJobsKey[] = L"jobs";
inline constexpr int kMostJobs = 64;
int ReadJobs(const std::wstring& task_id);

// The C library's decimal conversions as the programs apply them to values:
// leading blanks and one sign accepted, conversion stops at the first
// non-digit, no digits gives 0. Out-of-range values saturate.
int WideToInt(const std::wstring& text);         // int, as _wtoi
int32_t WideToLong32(const std::wstring& text);  // 32-bit long, as _wtol
int64_t WideToInt64(const std::wstring& text);   // 64-bit, as _wtoi64

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_CONFIG_STORE_H_
