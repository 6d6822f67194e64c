#include "common/config_store.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

#include "common/protocol.h"
#include "platform/no_destructor.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

std::wstring Read(const wchar_t* path, const std::wstring& section, const wchar_t* key,
                  const wchar_t* default_value) {
  return ReadProfileString(section, key, default_value, ProfileValueCapacity, path);
}

// Parses like strtoll on wide text, saturating at [lo, hi].
int64_t ParseSaturating(const std::wstring& text, int64_t lo, int64_t hi) {
  size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  // Accumulate as a negative number, whose range is one larger.
  int64_t value = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    int digit = text[i] - L'0';
    if (value < (std::numeric_limits<int64_t>::min() + digit) / 10) {
      overflow = true;
      continue;
    }
    value = value * 10 - digit;
  }
  if (overflow) return negative ? lo : hi;
  if (!negative) {
    if (value == std::numeric_limits<int64_t>::min()) return hi;
    value = -value;
  }
  if (value < lo) return lo;
  if (value > hi) return hi;
  return value;
}

}  // namespace

std::wstring ReadTaskRunStatus(const std::wstring& task_id) {
  return Read(kCoreConfigFile, task_id, kRunStatusKey, kRunStatusStop);
}

void WriteTaskFoundBytes(const std::wstring& task_id, uint64_t bytes) {
  WriteProfileString(task_id, L"foundbytes", std::to_wstring(bytes), kInnerConfigFile);
}

uint64_t ReadTaskFoundBytes(const std::wstring& task_id) {
  return static_cast<uint64_t>(
      std::max<int64_t>(WideToInt64(Read(kInnerConfigFile, task_id, L"foundbytes", L"0")), 0));
}

void ClearTaskRunNotes(const std::wstring& task_id) {
  RemoveProfileSections(kInnerConfigFile, &task_id, 1);
}

std::wstring ReadTaskFrontEnd(const std::wstring& task_id) {
  return Read(kCoreConfigFile, task_id, kFrontEndKey, L"");
}

std::wstring ReadPacing() {
  return Read(kCoreConfigFile, kSystemSection, kPacingKey, kPacingPaced);
}

std::wstring ReadResumeInsideFlag() {
  return Read(kCoreConfigFile, kSystemSection, kResumeInsideKey, kSettingOff);
}

std::wstring ReadCheckFileFlag() {
  // The last value read in this process; never destroyed, like the rest of
  // the state that may be read while the process ends.
  static NoDestructor<std::wstring> last(L"0");
  std::optional<std::wstring> value = TryReadProfileString(kSystemSection, kCheckFileFlagKey, L"0",
                                                           ProfileValueCapacity, kCoreConfigFile);
  if (value) *last = *value;
  return *last;
}

std::wstring ReadItemPosition(const std::wstring& item_key) {
  return Read(kInnerConfigFile, item_key, L"position", L"0");
}

void WriteItemRunStatus(const std::wstring& item_key, const std::wstring& value) {
  WriteProfileString(item_key, kRunStatusKey, value, kInnerConfigFile);
}

std::wstring ReadItemRunStatus(const std::wstring& item_key) {
  return Read(kInnerConfigFile, item_key, kRunStatusKey, kRunStatusStop);
}

std::wstring ReadBufferSize() {
  return Read(kGlobalConfigFile, kSystemSection, kBufferSizeKey, L"1024");
}

void WriteItemReason(const std::wstring& item_key, const std::wstring& value) {
  // One line whatever the text holds (a path may hold a line break, which
  // would otherwise start new lines, or sections, of the file).
  std::wstring line = value;
  for (wchar_t& c : line) {
    if (c == L'\n' || c == L'\r') c = L' ';
  }
  WriteProfileString(item_key, L"reason", line, kInnerConfigFile);
}

std::wstring ReadItemReason(const std::wstring& item_key) {
  constexpr size_t kReasonCapacity = 4096;
  return ReadProfileString(item_key, L"reason", L"", kReasonCapacity, kInnerConfigFile);
}

void WriteItemVerification(const std::wstring& item_key, uint64_t verifying, uint64_t verified) {
  WriteProfileString(item_key, L"verifying", std::to_wstring(verifying), kInnerConfigFile);
  WriteProfileString(item_key, L"verified", std::to_wstring(verified), kInnerConfigFile);
}

bool ReadItemVerification(const std::wstring& item_key, uint64_t* verifying, uint64_t* verified) {
  int64_t total = WideToInt64(Read(kInnerConfigFile, item_key, L"verifying", L"0"));
  if (total <= 0) return false;
  int64_t done = WideToInt64(Read(kInnerConfigFile, item_key, L"verified", L"0"));
  *verifying = static_cast<uint64_t>(total);
  *verified = static_cast<uint64_t>(std::clamp<int64_t>(done, 0, total));
  return true;
}

void WriteItemPosition(const std::wstring& item_key, const std::wstring& value) {
  WriteProfileString(item_key, L"position", value, kInnerConfigFile);
}

std::wstring ReadSyncSetting() {
  return Read(kGlobalConfigFile, kSystemSection, kSyncKey, kSettingOn);
}

bool SyncEnabled() { return WideToInt(ReadSyncSetting()) != 0; }

std::wstring ReadVerifyFrom() {
  return Read(kCoreConfigFile, kSystemSection, kVerifyFromKey, kVerifyFromDisk);
}

std::wstring ReadLinkMode(const std::wstring& task_id) {
  std::wstring mode = Read(kCoreConfigFile, task_id, kLinksKey, L"");
  if (mode.empty()) mode = Read(kCoreConfigFile, kSystemSection, kLinksKey, kLinksFollow);
  return mode;
}

bool KeepLinks(const std::wstring& task_id) {
  return EqualsIgnoringCase(ReadLinkMode(task_id), kLinksKeep);
}

bool ServingCopiers() {
  return WideToInt(Read(kCoreConfigFile, kSystemSection, kServingCopiersKey, kSettingOff)) == 1;
}

int ReadJobs(const std::wstring& task_id) {
  std::wstring jobs = Read(kCoreConfigFile, task_id, kJobsKey, L"");
  if (jobs.empty()) jobs = Read(kCoreConfigFile, kSystemSection, kJobsKey, L"1");
  return std::clamp(WideToInt(jobs), 1, kMostJobs);
}

bool VerifyFromDisk() { return !EqualsIgnoringCase(ReadVerifyFrom(), kVerifyFromCache); }

int WideToInt(const std::wstring& text) {
  return static_cast<int>(
      ParseSaturating(text, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

int32_t WideToLong32(const std::wstring& text) {
  return static_cast<int32_t>(ParseSaturating(text, std::numeric_limits<int32_t>::min(),
                                              std::numeric_limits<int32_t>::max()));
}

int64_t WideToInt64(const std::wstring& text) {
  return ParseSaturating(text, std::numeric_limits<int64_t>::min(),
                         std::numeric_limits<int64_t>::max());
}

namespace {
constexpr wchar_t kNotKeptKey[] = L"notkept";
// Both words and their blank.
constexpr size_t kNotKeptCapacity = 32;
}  // namespace

void NoteAttributeNotKept(const std::wstring& task_id, const std::wstring& what) {
  std::wstring words = ReadAttributesNotKept(task_id);
  if ((L" " + words + L" ").find(L" " + what + L" ") != std::wstring::npos) return;
  WriteProfileString(task_id, kNotKeptKey, words.empty() ? what : words + L" " + what,
                     kInnerConfigFile);
}

std::wstring ReadAttributesNotKept(const std::wstring& task_id) {
  return ReadProfileString(task_id, kNotKeptKey, L"", kNotKeptCapacity, kInnerConfigFile);
}

}  // namespace quorvalmist
