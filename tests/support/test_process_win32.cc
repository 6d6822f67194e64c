#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>

#include "platform/text.h"
#include "platform/win32/win32_util.h"
#include "tests/support/test_process.h"

namespace quorvalmist::testing {

namespace {

// This process's environment with `extra` ("NAME=value") added, replacing
// variables of the same name (names compare ignoring case on Windows).
std::wstring EnvironmentBlock(const std::vector<std::string>& extra) {
  std::vector<std::wstring> entries;
  wchar_t* strings = ::GetEnvironmentStringsW();
  for (const wchar_t* e = strings; *e; e += wcslen(e) + 1) entries.emplace_back(e);
  ::FreeEnvironmentStringsW(strings);
  for (const std::string& item : extra) {
    std::wstring wide = NarrowToWide(item);
    std::wstring name = wide.substr(0, wide.find(L'=') + 1);
    std::erase_if(entries, [&](const std::wstring& e) {
      return e.size() >= name.size() && EqualsIgnoringCase(e.substr(0, name.size()), name);
    });
    entries.push_back(wide);
  }
  std::wstring block;
  for (const std::wstring& e : entries) block.append(e).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

HANDLE OpenInheritable(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return ::CreateFileW(NarrowToWide(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

TestProcess::TestProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& extra_env, const std::string& out_path,
                         const std::string& err_path) {
  std::wstring line;
  AppendQuotedArgument(NarrowToWide(program), &line);
  for (const std::string& a : arguments) {
    line.push_back(L' ');
    AppendQuotedArgument(NarrowToWide(a), &line);
  }
  HANDLE in = OpenInheritable("NUL", false);
  HANDLE out = OpenInheritable(out_path, true);
  HANDLE err = OpenInheritable(err_path, true);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::wstring environment = EnvironmentBlock(extra_env);
  PROCESS_INFORMATION info{};
  BOOL ok = ::CreateProcessW(NarrowToWide(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                             CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
                             nullptr, &startup, &info);
  DWORD error = ::GetLastError();
  for (HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
  if (!ok) {
    ADD_FAILURE() << "cannot start " << program << ": error " << error;
    return;
  }
  ::CloseHandle(info.hThread);
  handle_ = reinterpret_cast<std::intptr_t>(info.hProcess);
  pid_ = static_cast<int>(info.dwProcessId);
}

TestProcess::~TestProcess() {
  if (!started()) return;
  if (!ended_) {
    KillAtOnce();
    Wait();
  }
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool TestProcess::HasEnded() {
  if (ended_ || !started()) return true;
  HANDLE process = reinterpret_cast<HANDLE>(handle_);
  if (::WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
    DWORD code = 0;
    ::GetExitCodeProcess(process, &code);
    ended_ = true;
    exit_code_ = static_cast<int>(code & 0xFF);
  }
  return ended_;
}

int TestProcess::Wait() {
  if (!ended_ && started()) {
    ::WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), INFINITE);
    HasEnded();
  }
  return exit_code_;
}

// The exit code a killed child shows, as a POSIX shell reports SIGKILL.
void TestProcess::KillAtOnce() {
  if (started() && !ended_) ::TerminateProcess(reinterpret_cast<HANDLE>(handle_), 128 + 9);
}

std::string NullDevicePath() { return "NUL"; }

void SetEnvironmentValue(const std::string& name, const std::string& value) {
  ::SetEnvironmentVariableW(NarrowToWide(name).c_str(), NarrowToWide(value).c_str());
  _putenv_s(name.c_str(), value.c_str());
}

}  // namespace quorvalmist::testing
