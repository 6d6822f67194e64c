// Benchmark tool: runs one directory task through the core in a fresh
// workspace and reports its wall time and the core's peak memory.
//
// Usage: qv_core_run WORKSPACE SOURCE TARGET CHECKFILEFLAG BUFFERSIZE
// Prints "seconds=<wall> core_max_rss_kib=<kib> files=<n> ok=<n>" and exits
// non-zero unless every file ended "success" or "finish".
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "common/run_control.h"
#include "db/db_create.h"
#include "db/record_access.h"
#include "db/schema.h"
#include "platform/marker.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/text.h"

using namespace quorvalmist;

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s WORKSPACE SOURCE TARGET CHECKFILEFLAG BUFFERSIZE\n", argv[0]);
    return 2;
  }
  std::string workspace = argv[1];
  ::mkdir(workspace.c_str(), 0755);
  ::mkdir((workspace + "/config").c_str(), 0755);
  if (::chdir(workspace.c_str()) != 0) return 2;
  WriteProfileString(L"system", L"buffersize", NarrowToWide(argv[5]), L"./config.cnf");
  WriteProfileString(L"system", L"checkfileflag", NarrowToWide(argv[4]), L"./config/core.cnf");
  WriteProfileString(L"bench", L"runstatus", L"run", L"./config/core.cnf");
  try {
    CreateTaskDbFor(kConnectionString);
    OpenTaskDb(kConnectionString);
    InsertTask({{L"id", L"bench"},
                {L"copytype", L"dir"},
                {L"sourcedir", NarrowToWide(argv[2])},
                {L"targetdir", NarrowToWide(argv[3])},
                {L"copystatus", L"ready"}});
  } catch (const DbError& e) {
    std::fprintf(stderr, "database: %s\n", e.what());
    return 2;
  }
  if (!HoldMarker(FrontEndMutexName).ok()) return 2;

  std::string core = ExecutableDirectory() + "/Tollhaven";
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(core.c_str(), core.c_str(), "bench", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  ::wait4(pid, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  long files = 0, ok = 0;
  Recordset rows = Query(L"select * from tcitem2 where tcitemid='bench'");
  while (!rows.Eof()) {
    ++files;
    std::wstring s = rows.Field(L"copystatus").value_or(L"");
    if (s == L"success" || s == L"finish") ++ok;
    rows.MoveNext();
  }
  std::printf("seconds=%.3f core_max_rss_kib=%ld files=%ld ok=%ld\n", seconds, usage.ru_maxrss,
              files, ok);
  return (WIFEXITED(status) && WEXITSTATUS(status) == 0 && files == ok) ? 0 : 1;
}
