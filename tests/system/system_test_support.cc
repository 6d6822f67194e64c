#include "tests/system/system_test_support.h"

#include <dirent.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "common/config_store.h"
#include "db/record_access.h"
#include "db/schema.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace quorvalmist::testing {

namespace {

constexpr const char* kTempSuffixText = "_quorvalmist_temp";

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// FNV-1a over the file's bytes: enough to notice any change to a source.
std::string ContentDigest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  uint64_t hash = 1469598103934665603ull;
  std::vector<char> buffer(1 << 20);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<unsigned char>(buffer[static_cast<size_t>(i)])) * 1099511628211ull;
    }
    if (!in) break;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// The names in `dir` other than "." and ".."; none when it cannot be listed.
std::vector<std::string> EntryNames(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

void Snapshot(const std::string& root, const std::string& relative, TreeSnapshot* out) {
  std::string dir = relative.empty() ? root : root + "/" + relative;
  for (const std::string& name : EntryNames(dir)) {
    std::string rel = relative.empty() ? name : relative + "/" + name;
    std::string path = root + "/" + rel;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      (*out)[rel] = "dir";
      Snapshot(root, rel, out);
    } else if (S_ISLNK(st.st_mode)) {
      std::vector<char> target(8192);
      ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
      (*out)[rel] = "link:" + std::string(target.data(), n > 0 ? static_cast<size_t>(n) : 0);
    } else {
      (*out)[rel] = "file:" + std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) +
                    "." + std::to_string(st.st_mtim.tv_nsec) + ":" + ContentDigest(path);
    }
  }
}

void CollectTemp(const std::string& dir, std::vector<std::string>* out) {
  for (const std::string& name : EntryNames(dir)) {
    std::string path = dir + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (EndsWith(name, kTempSuffixText)) out->push_back(path);
    if (S_ISDIR(st.st_mode)) CollectTemp(path, out);
  }
}

// Command name and parent of a process from /proc/PID/stat.
bool ReadStat(pid_t pid, std::string* name, pid_t* parent) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 4 > stat.size()) {
    return false;
  }
  *name = stat.substr(open + 1, close - open - 1);
  // After ") " come the state and the parent's pid.
  *parent = static_cast<pid_t>(std::atol(stat.c_str() + close + 4));
  return true;
}

std::vector<pid_t> AllPids() {
  std::vector<pid_t> pids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return pids;
  while (dirent* e = ::readdir(proc)) {
    pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid > 0) pids.push_back(pid);
  }
  ::closedir(proc);
  return pids;
}

}  // namespace

long EnvNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  return end != nullptr && *end == '\0' ? value : fallback;
}

uint64_t ChooseSeed(const char* test_name) {
  uint64_t seed;
  const char* given = std::getenv("QV_FAULT_SEED");
  if (given != nullptr && *given != '\0') {
    seed = std::strtoull(given, nullptr, 10);
  } else {
    std::random_device device;
    seed = (static_cast<uint64_t>(device()) << 32) ^ device();
  }
  std::printf("[ seed     ] %s: QV_FAULT_SEED=%llu\n", test_name,
              static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  return seed;
}

std::vector<std::string> MakeMixedTree(const std::string& root, const TreeShape& shape,
                                       std::mt19937_64& rng) {
  std::vector<std::string> files;
  std::set<int> big;
  while (static_cast<int>(big.size()) < std::min(shape.big_files, shape.files)) {
    big.insert(static_cast<int>(rng() % static_cast<uint64_t>(shape.files)));
  }
  for (int i = 0; i < shape.files; ++i) {
    int group = i / std::max(shape.per_dir, 1);
    // Nested two levels deep in places, with blanks in some names.
    std::string dir = "d" + std::to_string(group / 3);
    if (group % 3 != 0) dir += "/sub " + std::to_string(group % 3);
    std::string rel = dir + "/f" + std::to_string(i) + (i % 4 == 1 ? " copy.bin" : ".dat");
    MakeDirs(root + "/" + dir);
    uint32_t seed = static_cast<uint32_t>(rng());
    if (big.count(i)) {
      uint64_t span = shape.big_max > shape.big_min ? shape.big_max - shape.big_min : 0;
      uint64_t size = shape.big_min + (span ? rng() % (span + 1) : 0);
      WriteRandomFile(root + "/" + rel, size, seed);
    } else if (i % 5 == 0) {
      WriteFile(root + "/" + rel, "");
    } else {
      WriteFile(root + "/" + rel, RandomBytes(1 + rng() % (48 << 10), seed));
    }
    files.push_back(rel);
  }
  return files;
}

TreeSnapshot SnapshotTree(const std::string& root) {
  TreeSnapshot out;
  Snapshot(root, "", &out);
  return out;
}

std::vector<std::string> TempFilesBelow(const std::string& root) {
  std::vector<std::string> out;
  CollectTemp(root, &out);
  return out;
}

std::vector<pid_t> ChildPids(pid_t parent, const std::string& name) {
  std::vector<pid_t> pids;
  for (pid_t pid : AllPids()) {
    std::string comm;
    pid_t ppid = 0;
    if (ReadStat(pid, &comm, &ppid) && ppid == parent && comm == name) pids.push_back(pid);
  }
  return pids;
}

bool ProcessAlive(pid_t pid) {
  std::string comm;
  pid_t ppid = 0;
  if (!ReadStat(pid, &comm, &ppid)) return false;
  // A zombie has ended; only its parent's wait is missing.
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

void SystemTest::TearDown() {
  std::string ws = P("ws");
  for (pid_t pid : AllPids()) {
    std::string comm;
    pid_t ppid = 0;
    if (!ReadStat(pid, &comm, &ppid) || (comm != "Tollhaven" && comm != "Skiffwright")) continue;
    std::vector<char> cwd(4096);
    std::string link = "/proc/" + std::to_string(pid) + "/cwd";
    ssize_t n = ::readlink(link.c_str(), cwd.data(), cwd.size());
    if (n > 0 && std::string(cwd.data(), static_cast<size_t>(n)) == ws) ::kill(pid, SIGKILL);
  }
  FrontEndTest::TearDown();
}

std::string SystemTest::WaitForTaskId(StartedProgram& program) {
  std::string id;
  WaitFor(
      [&] {
        id = TaskId(program.output());
        return !id.empty() || program.HasEnded();
      },
      std::chrono::seconds(30));
  if (id.empty()) id = TaskId(program.output());
  return id;
}

std::string SystemTest::CopyCutShortBySizeLimit(const std::string& target, uint64_t size,
                                                uint32_t seed, uint64_t limit, RunResult* run) {
  MakeDirs(P("src"));
  WriteRandomFile(P("src/big.bin"), size, seed);
  EXPECT_EQ(RunProgram(FrontEndPath(), {"init", "ws"}).exit_code, 0);
  *run = RunWithFileSizeLimit({"-C", "ws", "copy", "--verify", "never", P("src/big.bin"), target},
                              limit);
  EXPECT_EQ(run->exit_code, 1) << run->output;
  return TaskId(run->output);
}

std::optional<uint64_t> SystemTest::ResumedCopierStart(const std::string& task,
                                                       const std::string& source, int* exit_code) {
  std::optional<uint64_t> start;
  // The start is read off the copier's command line, which only a copier
  // process per file has.
  WriteProfileString(L"system", kServingCopiersKey, L"0", NarrowToWide(P("ws/config/core.cnf")));
  OpenGate gate(source);
  auto resume = StartQv({"resume", task});
  EXPECT_TRUE(gate.WaitForArrival()) << resume->output();
  std::vector<pid_t> copiers = ChildPids(CorePid(task), "Skiffwright");
  if (copiers.size() == 1) {
    std::vector<std::string> args = ProcessArguments(copiers[0]);
    if (args.size() == 7) start = std::stoull(args[3]);
  }
  gate.Release();
  *exit_code = resume->Wait();
  EXPECT_TRUE(start.has_value()) << resume->output();
  return start;
}

std::vector<ItemRow> SystemTest::Rows(const std::string& task, const std::string& workspace) {
  std::vector<ItemRow> rows;
  EXPECT_EQ(::chdir(P(workspace).c_str()), 0);
  OpenTaskDb(kConnectionString);
  Recordset r = Query(L"select * from tcitem2 where tcitemid=" + TextLiteral(NarrowToWide(task)));
  auto field = [&](const wchar_t* name) { return WideToNarrow(r.Field(name).value_or(L"")); };
  for (; !r.Eof(); r.MoveNext()) {
    rows.push_back(ItemRow{field(L"sourcefile"), field(L"targetfile"), field(L"copystatus"),
                           field(L"md5status"), field(L"positionnum"), field(L"totalnum")});
  }
  CloseTaskDbForTesting();
  EXPECT_EQ(::chdir(dir_.path().c_str()), 0);
  return rows;
}

std::string SystemTest::IntegrityCheck() {
  sqlite3* db = nullptr;
  std::string path = P("ws/fm2.qz");
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : "cannot open";
    sqlite3_close_v2(db);
    return "open failed: " + message;
  }
  std::string result;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "pragma integrity_check", -1, &statement, nullptr) != SQLITE_OK) {
    result = std::string("prepare failed: ") + sqlite3_errmsg(db);
  } else {
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      result += (result.empty() ? "" : "\n") + std::string(text ? (const char*)text : "");
    }
    if (rc != SQLITE_DONE) result += std::string("\nstep failed: ") + sqlite3_errmsg(db);
  }
  sqlite3_finalize(statement);
  sqlite3_close_v2(db);
  return result;
}

pid_t SystemTest::CorePid(const std::string& task) {
  std::string tail = std::string("Tollhaven") + '\0' + task + '\0';
  for (pid_t pid : AllPids()) {
    std::string cmdline = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    if (EndsWith(cmdline, tail) && ProcessAlive(pid)) return pid;
  }
  return -1;
}

void SystemTest::ExpectTaskComplete(const std::string& task, const std::string& source,
                                    const std::string& target, const TreeSnapshot& source_before) {
  // What should have been copied: files, and links that lead to files.
  std::set<std::string> copied;
  for (const auto& [rel, what] : source_before) {
    if (what.rfind("file:", 0) == 0) copied.insert(rel);
    struct stat st;
    if (what.rfind("link:", 0) == 0 && ::stat((source + "/" + rel).c_str(), &st) == 0 &&
        S_ISREG(st.st_mode)) {
      copied.insert(rel);
    }
  }
  for (const std::string& rel : copied) {
    EXPECT_TRUE(FilesEqual(source + "/" + rel, target + "/" + rel)) << "copy differs: " << rel;
  }
  for (const auto& [rel, what] : SnapshotTree(target)) {
    if (what == "dir") continue;
    EXPECT_TRUE(copied.count(rel))
        << "unexpected entry in the target: " << rel << " (" << what << ")";
  }
  EXPECT_EQ(TempFilesBelow(target), std::vector<std::string>{});

  std::vector<ItemRow> rows = Rows(task);
  EXPECT_EQ(rows.size(), copied.size());
  std::set<std::string> sources;
  for (const ItemRow& row : rows) {
    EXPECT_TRUE(row.status == "success" || row.status == "finish")
        << row.source << ": " << row.status;
    EXPECT_EQ(row.position, row.total) << row.source;
    EXPECT_TRUE(sources.insert(row.source).second) << "two rows for " << row.source;
  }
  EXPECT_EQ(IntegrityCheck(), "ok");
  EXPECT_TRUE(SnapshotTree(source) == source_before) << "the source tree changed";
}

RunResult RunWithFileSizeLimit(const std::vector<std::string>& args, uint64_t limit) {
  struct rlimit old_limit;
  EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limited = old_limit;
  limited.rlim_cur = static_cast<rlim_t>(limit);
  struct sigaction ignore {
  }, old_action{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &old_action);
  EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  // The limit and the ignored signal are inherited at the start; this process
  // writes nothing until it has its own limit back.
  StartedProgram program(FrontEndPath(), args);
  EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &old_limit), 0);
  ::sigaction(SIGXFSZ, &old_action, nullptr);
  RunResult result;
  result.exit_code = program.Wait();
  result.output = program.output();
  return result;
}

std::vector<std::string> ProcessArguments(pid_t pid) {
  std::string raw = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  std::vector<std::string> args;
  size_t start = 0;
  for (size_t nul; (nul = raw.find('\0', start)) != std::string::npos; start = nul + 1) {
    args.push_back(raw.substr(start, nul - start));
  }
  return args;
}

}  // namespace quorvalmist::testing
