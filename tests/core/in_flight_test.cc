// End-to-end tests of the core with several items copying at once and with
// copiers that serve one item after another: stops, kills of a copier and of
// the core, and the rows a serving copier leaves against those of one copier
// process per file.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/config_store.h"
#include "platform/file.h"
#include "platform/marker.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "tests/core/core_test_support.h"

namespace quorvalmist::testing {
namespace {

namespace fs = std::filesystem;

std::wstring W(const std::string& s) { return NarrowToWide(s); }

class InFlightTest : public CoreTest {
 protected:
  // An all-hole source that one-byte chunks make take minutes to copy.
  static constexpr uint64_t kEndlessSize = uint64_t{4} << 30;

  void SetCoreSetting(const wchar_t* key, const std::string& value) {
    WriteProfileString(L"system", key, W(value), W(Path("config/core.cnf")));
  }

  // A tree src/sub of `count` small files; the first `endless` of them in
  // walk order are made endless. Returns the files in walk order.
  std::vector<std::string> MakeTree(int count, int endless) {
    std::string sub = Path("src/sub");
    MakeDirs(sub);
    for (int i = 0; i < count; ++i) {
      WriteFile(sub + "/f" + std::to_string(i), RandomBytes(100 + 37 * i, i));
    }
    std::vector<std::string> order;
    for (const std::string& name : WalkOrder(sub)) order.push_back(sub + "/" + name);
    for (int i = 0; i < endless; ++i) WriteSparseFile(order[i], kEndlessSize);
    return order;
  }

  // A directory task "T" over MakeTree(count, endless), copied `jobs` at a
  // time in one-byte chunks. Returns the files in walk order.
  std::vector<std::string> AddTask(int count, int endless, const std::string& jobs, bool serving) {
    std::vector<std::string> files = MakeTree(count, endless);
    SetBufferSize("1");
    SetCoreSetting(kJobsKey, jobs);
    SetCoreSetting(kServingCopiersKey, serving ? "1" : "0");
    AddDirTask(L"T", Path("src"), Path("dst"));
    return files;
  }

  // Gates that hold the copiers of the first `count` files at their opening.
  static std::vector<std::unique_ptr<OpenGate>> GatesOn(const std::vector<std::string>& files,
                                                        int count) {
    std::vector<std::unique_ptr<OpenGate>> gates;
    for (int i = 0; i < count; ++i) gates.push_back(std::make_unique<OpenGate>(files[i]));
    return gates;
  }

  static std::string TargetOf(const std::string& source) {
    std::string target = source;
    target.replace(target.rfind("/src/"), 5, "/dst/");
    return target;
  }

  // The temporary files left anywhere below `dir`.
  static std::vector<std::string> TempFilesBelow(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(dir, ec)) {
      if (entry.path().filename().string().find("_quorvalmist_temp") != std::string::npos) {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }

  // The copier processes that have `path` open.
  static std::vector<int> CopiersReading(const std::string& path) {
    std::vector<int> pids;
    std::error_code ec;
    for (const auto& proc : fs::directory_iterator("/proc", ec)) {
      std::string name = proc.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream comm(proc.path() / "comm");
      std::string command;
      if (!(comm >> command) || command != "Skiffwright") continue;
      for (const auto& fd : fs::directory_iterator(proc.path() / "fd", ec)) {
        if (fs::read_symlink(fd.path(), ec) == path) pids.push_back(std::stoi(name));
      }
    }
    return pids;
  }

  // After a run that copied everything: one row per file, each a success and
  // its target equal to its source; no row left running, no temporary file.
  void ExpectAllCopied(const std::vector<std::string>& files) {
    auto items = Items(L"T");
    EXPECT_EQ(items.size(), files.size());
    for (const std::string& file : files) {
      const std::wstring status = items[W(file)][L"copystatus"];
      EXPECT_TRUE(status == L"success" || status == L"finish") << file << ": " << status;
      EXPECT_TRUE(FilesEqual(file, TargetOf(file))) << file;
    }
    EXPECT_TRUE(TempFilesBelow(Path("dst")).empty());
  }
};

class StopInFlightTest : public InFlightTest, public ::testing::WithParamInterface<bool> {};

// Three copies in flight, each held at the opening of its source: a stop ends
// all three as stops and starts nothing more; the next run takes each of the
// three up again under its row and copies every file once.
TEST_P(StopInFlightTest, AStopEndsEveryItemInFlightAndAResumeCopiesEachOnce) {
  std::vector<std::string> files = AddTask(6, 3, "3", GetParam());
  auto gates = GatesOn(files, 3);

  StartedProgram core(TollhavenPath(), {"T"});
  for (auto& gate : gates) ASSERT_TRUE(gate->WaitForArrival());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(StatusOf(L"T", files[i]), L"running");
  SetTaskRunStatus(L"T", L"stop");
  for (auto& gate : gates) gate->Release();
  ASSERT_TRUE(WaitFor([&] { return core.HasEnded(); }, std::chrono::seconds(30)));
  EXPECT_EQ(core.Wait(), 0);

  auto items = Items(L"T");
  EXPECT_EQ(items.size(), 3u);
  std::vector<std::wstring> ids;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(items[W(files[i])][L"copystatus"], L"stop") << files[i];
    ids.push_back(items[W(files[i])][L"id"]);
  }
  EXPECT_TRUE(SearchedDirs(L"T").empty());
  for (const std::wstring& id : ids) {
    EXPECT_TRUE(WaitFor([&] { return IsMarkerAbsent(id); }, std::chrono::seconds(30)));
  }

  SetTaskRunStatus(L"T", L"run");
  SetBufferSize("4194304");
  ASSERT_EQ(RunCore(L"T").exit_code, 0);
  ExpectAllCopied(files);
  items = Items(L"T");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(items[W(files[i])][L"id"], ids[i]);
  EXPECT_EQ(SearchedDirs(L"T").size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Copiers, StopInFlightTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Serving" : "OneShot"; });

// The core killed with three copies in flight, the walk of their directory
// already done: its copiers notice and stop, and the next run leaves every file
// copied and equal, no row running and no temporary file behind (the directory
// was not recorded as searched before its files had their verdicts).
TEST_F(InFlightTest, ACoreKilledWithCopiesInFlightIsMadeWholeByTheNextRun) {
  std::vector<std::string> files = AddTask(3, 3, "3", true);
  auto gates = GatesOn(files, 3);

  StartedProgram core(TollhavenPath(), {"T"});
  for (auto& gate : gates) ASSERT_TRUE(gate->WaitForArrival());
  auto items = Items(L"T");
  core.KillAtOnce();
  core.Wait();
  for (auto& gate : gates) gate->Release();
  for (int i = 0; i < 3; ++i) {
    std::wstring id = items[W(files[i])][L"id"];
    EXPECT_TRUE(WaitFor([&] { return IsMarkerAbsent(id); }, std::chrono::seconds(30)));
  }

  SetBufferSize("4194304");
  ASSERT_EQ(RunCore(L"T").exit_code, 0);
  ExpectAllCopied(files);
  for (auto& [source, row] : Items(L"T")) EXPECT_NE(row[L"copystatus"], L"running");
}

// A serving copier killed in the middle of an item: that item says why, and
// a new copier (there is only one place) copies the items after it.
TEST_F(InFlightTest, AServingCopierKilledMidItemIsNamedAndReplaced) {
  std::vector<std::string> files = AddTask(4, 1, "1", true);

  StartedProgram core(TollhavenPath(), {"T"});
  std::vector<int> copiers;
  ASSERT_TRUE(WaitFor([&] { return !(copiers = CopiersReading(files[0])).empty(); },
                      std::chrono::seconds(30)));
  ASSERT_EQ(::kill(copiers[0], SIGKILL), 0);
  ASSERT_TRUE(WaitFor([&] { return core.HasEnded(); }, std::chrono::seconds(60)));
  EXPECT_EQ(core.Wait(), 0);

  auto items = Items(L"T");
  ASSERT_EQ(items.size(), files.size());
  EXPECT_EQ(items[W(files[0])][L"copystatus"], L"stop");
  EXPECT_NE(ReadItemReason(items[W(files[0])][L"id"]).find(L"signal 9"), std::wstring::npos);
  for (size_t i = 1; i < files.size(); ++i) {
    EXPECT_EQ(items[W(files[i])][L"copystatus"], L"success") << files[i];
    EXPECT_TRUE(FilesEqual(files[i], TargetOf(files[i])));
  }
}

// One serving copier writes the same rows, sections and files as one copier
// process per file.
TEST_F(InFlightTest, AServingCopierLeavesWhatOneCopierPerFileLeaves) {
  MakeDirs(Path("src/a/b"));
  WriteFile(Path("src/empty"), "");
  WriteRandomFile(Path("src/a/big"), 3 << 20, 7);
  for (int i = 0; i < 4; ++i)
    WriteFile(Path("src/a/b/f") + std::to_string(i), RandomBytes(i * 500, i));
  SetBufferSize("65536");

  auto run = [&](const std::wstring& task, const std::string& target, const char* serving) {
    SetCoreSetting(kServingCopiersKey, serving);
    AddDirTask(task, Path("src"), Path(target));
    EXPECT_EQ(RunCore(task).exit_code, 0);
    std::map<std::wstring, std::map<std::wstring, std::wstring>> record;
    for (auto& [source, row] : Items(task)) {
      auto& columns = record[source];
      for (const wchar_t* column : {L"copystatus", L"md5status", L"positionnum", L"totalnum"}) {
        columns[column] = row[column];
      }
      std::wstring target_file = row[L"targetfile"];
      columns[L"targetfile"] =
          target_file.substr(target_file.find(L"/" + W(target) + L"/") + target.size() + 2);
      for (const wchar_t* key : {L"runstatus", L"position", L"reason", L"verifying"}) {
        columns[std::wstring(L"inner.") + key] =
            ReadProfileString(row[L"id"], key, L"(none)", 4096, W(Path("config/inner.cnf")));
      }
    }
    return record;
  };
  auto one_shot = run(L"A", "dst1", "0");
  auto serving = run(L"B", "dst2", "1");
  EXPECT_EQ(one_shot.size(), 6u);
  EXPECT_EQ(serving, one_shot);
  for (const char* name : {"empty", "a/big", "a/b/f0", "a/b/f3"}) {
    EXPECT_TRUE(FilesEqual(Path("src/") + name, Path("dst2/") + name)) << name;
  }
}

}  // namespace
}  // namespace quorvalmist::testing
