// Child processes through CreateProcessW, with standard output on an
// anonymous pipe, standard input on another or on the null device, and
// standard error on the null device.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/process.h"
#include "platform/text.h"
#include "platform/win32/win32_util.h"

// After windows.h, which it needs.
#include <shellapi.h>  // NOLINT(build/include_order)

namespace quorvalmist {

// One argument as CommandLineToArgvW and the C run-time read it back: quoted
// when it is empty or holds a blank or a quote; inside the quotes a quote is
// escaped with a backslash, and the backslashes before a quote (or before the
// closing quote) are doubled. Other backslashes stand as they are.
void AppendQuotedArgument(const std::wstring& argument, std::wstring* line) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    *line += argument;
    return;
  }
  line->push_back(L'"');
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line->append(backslashes * 2 + 1, L'\\');
    } else {
      line->append(backslashes, L'\\');
    }
    backslashes = 0;
    line->push_back(c);
  }
  line->append(backslashes * 2, L'\\');
  line->push_back(L'"');
}

namespace {

std::wstring CommandLine(const std::string& program, const std::vector<std::string>& arguments) {
  std::wstring line;
  AppendQuotedArgument(Utf16Path(program), &line);
  for (const std::string& argument : arguments) {
    line.push_back(L' ');
    AppendQuotedArgument(Utf16Path(argument), &line);
  }
  return line;
}

class Win32ChildProcess : public ChildProcess {
 public:
  Win32ChildProcess(ScopedHandle process, DWORD pid, ScopedHandle output, ScopedHandle input)
      : process_(std::move(process)),
        pid_(pid),
        output_(std::move(output)),
        input_(std::move(input)) {}

  // A pipe whose reader has gone fails with ERROR_BROKEN_PIPE or
  // ERROR_NO_DATA; there is no signal here.
  bool WriteInput(std::string_view data) override {
    if (!input_.valid()) return false;
    while (!data.empty()) {
      DWORD want = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 30));
      DWORD written = 0;
      if (!::WriteFile(input_.get(), data.data(), want, &written, nullptr)) return false;
      data.remove_prefix(written);
    }
    return true;
  }

  void CloseInput() override { input_.reset(); }

  // An anonymous pipe cannot be waited on: look at the pipe and the process
  // in small steps until either has something or the time is up.
  void WaitForOutputOrEnd(unsigned milliseconds) override {
    ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    for (;;) {
      size_t available = 0;
      if (!PeekOutput(&available) || available > 0) return;
      if (::WaitForSingleObject(process_.get(), 1) != WAIT_TIMEOUT) return;
      if (::GetTickCount64() >= deadline) return;
    }
  }

  // A pipe whose writer has gone (ERROR_BROKEN_PIPE) is at its end: nothing
  // waiting, as on POSIX.
  bool PeekOutput(size_t* available) override {
    DWORD n = 0;
    if (!::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &n, nullptr)) {
      if (::GetLastError() != ERROR_BROKEN_PIPE) return false;
      n = 0;
    }
    *available = n;
    return true;
  }

  bool ReadOutput(char* buffer, size_t capacity, size_t* read) override {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(capacity, 1u << 30));
    if (!::ReadFile(output_.get(), buffer, want, &n, nullptr)) {
      if (::GetLastError() != ERROR_BROKEN_PIPE) return false;
      n = 0;  // the end of the output
    }
    *read = n;
    return true;
  }

  bool HasEnded() override { return ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0; }

  // A Windows process always ends with an exit code, also when it was ended
  // from outside. -1 reads as 255, as on POSIX, where the system keeps the
  // low byte; other codes (a crash's NTSTATUS among them) are kept whole.
  ChildEnd Wait() override {
    ::WaitForSingleObject(process_.get(), INFINITE);
    DWORD code = 0;
    ChildEnd end;
    if (::GetExitCodeProcess(process_.get(), &code)) {
      end.exit_code = code == 0xFFFFFFFFu ? 255 : static_cast<int>(code);
    }
    return end;
  }

  int pid() const override { return static_cast<int>(pid_); }

 private:
  ScopedHandle process_;
  DWORD pid_;
  ScopedHandle output_;
  ScopedHandle input_;  // the child's standard input; invalid when none (any more)
};

// The null device, inheritable, for the child's standard input or error.
HANDLE OpenNullDevice(DWORD access) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return ::CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                       0, nullptr);
}

// An attribute list naming the only handles the child inherits, so that no
// other inheritable handle (one made meanwhile by another thread for its own
// child) leaks into it.
class InheritedHandles {
 public:
  InheritedHandles(HANDLE* handles, size_t count) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_ = std::make_unique<unsigned char[]>(size);  // aligned as operator new aligns
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    list_ = list;
    if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                     count * sizeof(HANDLE), nullptr, nullptr)) {
      ::DeleteProcThreadAttributeList(list_);
      list_ = nullptr;
    }
  }
  ~InheritedHandles() {
    if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::unique_ptr<unsigned char[]> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

bool IsProgramFile(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// `base` as given, else with ".exe" added (unless it ends so already).
std::wstring ProgramAt(const std::wstring& base) {
  if (IsProgramFile(base)) return base;
  bool has_exe = base.size() >= 4 && EqualsIgnoringCase(base.substr(base.size() - 4), L".exe");
  if (!has_exe && IsProgramFile(base + L".exe")) return base + L".exe";
  return std::wstring();
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);  // cut: ask again with more room
  }
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program,
                                                  const std::vector<std::string>& arguments,
                                                  Status* status, ChildOptions options) {
  // The pipes' ends are made uninheritable; only the ends given to the child
  // are made inheritable, and closed here once the child has them.
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, nullptr, 0)) {
    if (status) *status = LastErrorStatus("cannot create a pipe");
    return nullptr;
  }
  ScopedHandle output(read_end);
  ScopedHandle child_output(write_end);
  ScopedHandle input;
  ScopedHandle child_input;
  if (options.input_pipe) {
    HANDLE input_read = nullptr;
    HANDLE input_write = nullptr;
    if (!::CreatePipe(&input_read, &input_write, nullptr, 0)) {
      if (status) *status = LastErrorStatus("cannot create a pipe");
      return nullptr;
    }
    child_input.reset(input_read);
    input.reset(input_write);
    if (!::SetHandleInformation(child_input.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
      child_input.reset();
    }
  } else {
    child_input.reset(OpenNullDevice(GENERIC_READ));
  }
  ScopedHandle child_error(OpenNullDevice(GENERIC_WRITE));
  if (!::SetHandleInformation(child_output.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ||
      !child_input.valid() || !child_error.valid()) {
    if (status) *status = LastErrorStatus("cannot prepare the standard handles of " + program);
    return nullptr;
  }
  HANDLE inherited[] = {child_input.get(), child_output.get(), child_error.get()};
  InheritedHandles handle_list(inherited, 3);

  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = child_input.get();
  startup.StartupInfo.hStdOutput = child_output.get();
  startup.StartupInfo.hStdError = child_error.get();
  // No console at all rather than a hidden new one: a Ctrl-C at the
  // terminal cannot reach the child either way, and no console host is
  // started for every copied file. A group of its own as well, so that no
  // console event sent to this process's group reaches it.
  DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP;
  // Without the list (the system could not make one) the child inherits
  // every inheritable handle: this layer makes no other handle inheritable.
  if (handle_list.get() != nullptr) {
    startup.lpAttributeList = handle_list.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  std::wstring application = Utf16Path(program);
  std::wstring line = CommandLine(program, arguments);  // CreateProcessW may write into it
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                        nullptr, &startup.StartupInfo, &info)) {
    if (status) *status = LastErrorStatus("cannot start " + program);
    return nullptr;
  }
  ::CloseHandle(info.hThread);
  // The child holds its own copies now: closing ours lets the pipe report
  // its end once the child ends.
  child_output.reset();
  child_input.reset();
  return std::make_unique<Win32ChildProcess>(ScopedHandle(info.hProcess), info.dwProcessId,
                                             std::move(output), std::move(input));
}

std::string CurrentProcessIdText() { return std::to_string(::GetCurrentProcessId()); }

std::string ExecutableFileName(const std::string& name) { return name + ".exe"; }

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(WideToNarrow(wide[i]));
  ::LocalFree(wide);
  return args;
}

std::string ExecutableDirectory() {
  std::wstring path = ModulePath();
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::string() : WideToNarrow(path.substr(0, slash));
}

std::string FindProgram(const std::string& name) {
  std::wstring wide = Utf16Path(name);
  if (wide.find_first_of(L"\\/:") != std::wstring::npos) return WideToNarrow(ProgramAt(wide));
  std::wstring beside = Utf16Path(ExecutableDirectory());
  if (!beside.empty()) {
    if (std::wstring found = ProgramAt(beside + L"\\" + wide); !found.empty()) {
      return WideToNarrow(found);
    }
  }
  if (std::wstring found = ProgramAt(L".\\" + wide); !found.empty()) return WideToNarrow(found);
  if (std::optional<std::wstring> path = EnvironmentValue(L"PATH")) {
    const std::wstring& dirs = *path;
    size_t start = 0;
    while (start <= dirs.size()) {
      size_t semicolon = dirs.find(L';', start);
      std::wstring dir = dirs.substr(
          start, semicolon == std::wstring::npos ? std::wstring::npos : semicolon - start);
      if (!dir.empty()) {
        if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
        if (std::wstring found = ProgramAt(dir + wide); !found.empty()) {
          return WideToNarrow(found);
        }
      }
      if (semicolon == std::wstring::npos) break;
      start = semicolon + 1;
    }
  }
  return std::string();
}

}  // namespace quorvalmist
