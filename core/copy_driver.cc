#include "core/copy_driver.h"

#include "common/config_store.h"
#include "common/file_info.h"
#include "common/md5.h"
#include "common/run_control.h"
#include "core/core_state.h"
#include "core/db/item_table.h"
#include "core/db/schema.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace quorvalmist {

const wchar_t* const kInnerProgramName = L"Skiffwright";

namespace {

constexpr unsigned kPollMilliseconds = 256;
constexpr size_t kReceiveBufferSize = 5000;
constexpr size_t kReadSize = 1024;

// The MD5 comparison of a copy, with the target read from its device unless
// "verifyfrom" in core.cnf asks for the cached read.
bool VerifyCopy(const std::wstring& source, const std::wstring& target) {
  MatchOptions options;
  options.target_from_disk = VerifyFromDisk();
  return FilesMatch(source, target, options);
}

}  // namespace

InnerCommand BuildInnerCommand(const std::wstring& source, const std::wstring& target,
                               const std::wstring& task_id, const std::wstring& item_id) {
  InnerCommand command;
  command.line = std::wstring(kInnerProgramName) + L" \"" + source + L"\"  \"" + target +
                 L"\" 0 1024 " + task_id + L" " + item_id;
  command.arguments = {source, target, L"0", L"1024", task_id, item_id};
  return command;
}

void RunInnerProcess(const InnerCommand& command) {
  std::string program = FindProgram(WideToNarrow(kInnerProgramName));
  if (program.empty()) return;  // judged from the files: normally "stop"
  std::vector<std::string> arguments;
  for (const auto& a : command.arguments) arguments.push_back(WideToNarrow(a));
  Status status;
  std::unique_ptr<ChildProcess> child = ChildProcess::Start(program, arguments, &status);
  if (!child) return;

  char receive[kReceiveBufferSize];
  for (;;) {
    if (StopFlag.load(std::memory_order_relaxed)) break;
    size_t waiting = 0;
    if (!child->PeekOutput(&waiting)) break;
    if (waiting > 0) {
      size_t read = 0;
      if (!child->ReadOutput(receive, kReadSize, &read)) break;
      receive[read] = '\0';  // the output is discarded
      continue;
    }
    if (child->HasEnded()) break;
    SleepMilliseconds(kPollMilliseconds);
    std::wstring position = ReadItemPosition(CurrentItemId());
    if (!position.empty()) SetItemPosition(CurrentItemId(), position);
  }
}

Verdict JudgeCopy(std::optional<uint64_t> source_size, std::optional<uint64_t> target_size,
                  int check_mode, bool (*files_match)(const std::wstring&, const std::wstring&),
                  const std::wstring& source, const std::wstring& target) {
  if (!source_size || !target_size || *source_size != *target_size) return Verdict::kStop;
  if (check_mode == 2 || (check_mode == 0 && *source_size > LargeFileThreshold)) {
    return Verdict::kFinish;
  }
  return files_match(source, target) ? Verdict::kSuccess : Verdict::kError;
}

void CopyItem(const std::wstring& source, const std::wstring& target, const std::wstring& task_id,
              const std::wstring& item_id) {
  RunInnerProcess(BuildInnerCommand(source, target, task_id, item_id));

  std::optional<uint64_t> source_size = QueryFileSize(source);
  std::optional<uint64_t> target_size = QueryFileSize(target);
  // The check mode is read only when the sizes agree, anew for every item.
  int check_mode = 0;
  if (source_size && target_size && *source_size == *target_size) {
    check_mode = WideToInt(ReadCheckFileFlag());
  }
  const std::wstring& id = CurrentItemId();
  switch (JudgeCopy(source_size, target_size, check_mode, &VerifyCopy, source, target)) {
    case Verdict::kStop:
      SetItemCopyStatus(id, kStatusStop);
      SetItemMd5Status(id, kMd5Uncheck);
      break;
    case Verdict::kFinish:
      SetItemCopyStatus(id, kStatusFinish);
      SetItemPositionToTotal(id);
      SetItemMd5Status(id, kMd5Uncheck);
      break;
    case Verdict::kSuccess:
      SetItemCopyStatus(id, kStatusSuccess);
      SetItemPositionToTotal(id);
      SetItemMd5Status(id, kMd5Ok);
      break;
    case Verdict::kError:
      SetItemCopyStatus(id, kStatusError);
      SetItemMd5Status(id, kMd5Error);
      break;
  }
}

}  // namespace quorvalmist
