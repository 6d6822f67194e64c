// End-to-end tests: the real copier in a prepared working directory.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/config_store.h"
#include "common/copier_command.h"
#include "common/protocol.h"
#include "common/temp_name.h"
#include "platform/file.h"
#include "platform/marker.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using testing::FilesEqual;
using testing::PathExists;
using testing::ReadFile;
using testing::RunResult;
using testing::StartedProgram;
using testing::WaitFor;
using testing::WriteFile;

constexpr char kTask[] = "task-1";
constexpr char kItem[] = "item-1";
constexpr char kTempSuffix[] = "_quorvalmist_temp";

// A copier serving items: the test writes its item lines and reads its
// output. Ending it closes its input and stops the items it was given, so a
// failed test does not wait for a slow copy.
class ServingCopier {
 public:
  ServingCopier() {
    Status status;
    child_ = ChildProcess::Start(testing::SkiffwrightPath(), {kServeOption}, &status,
                                 ChildOptions{.input_pipe = true});
    EXPECT_NE(child_, nullptr) << status.message();
  }
  ~ServingCopier() {
    if (child_ == nullptr) return;
    child_->CloseInput();
    for (const std::wstring& item : items_) WriteItemRunStatus(item, L"stop");
    child_->Wait();
  }

  bool Send(const CopierItem& item) {
    items_.push_back(item.item_id);
    return child_ != nullptr && child_->WriteInput(EncodeServedItem(item));
  }
  bool SendLine(const std::string& line) { return child_ != nullptr && child_->WriteInput(line); }

  // Reads the output until it holds `count` end lines in all (at most 60 s);
  // the output read so far.
  const std::string& ReadEnds(size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (child_ != nullptr && EndLines() < count && std::chrono::steady_clock::now() < deadline) {
      size_t available = 0;
      if (!child_->PeekOutput(&available)) break;
      if (available == 0) {
        if (child_->HasEnded()) break;
        child_->WaitForOutputOrEnd(100);
        continue;
      }
      std::string buffer(available, '\0');
      size_t read = 0;
      if (!child_->ReadOutput(buffer.data(), buffer.size(), &read)) break;
      output_.append(buffer, 0, read);
    }
    return output_;
  }
  size_t EndLines() const {
    size_t count = 0;
    for (size_t at = output_.find(kItemEndPrefix); at != std::string::npos;
         at = output_.find(kItemEndPrefix, at + 1)) {
      if (at == 0 || output_[at - 1] == '\n') ++count;
    }
    return count;
  }
  ChildProcess& child() { return *child_; }

 private:
  std::unique_ptr<ChildProcess> child_;
  std::vector<std::wstring> items_;
  std::string output_;
};

class SkiffwrightTest : public testing::WorkspaceTest {
 protected:
  void SetUp() override {
    WorkspaceTest::SetUp();
    task_ = std::make_unique<testing::MarkerHolder>(NarrowToWide(kTask));
    WriteItemRunStatus(NarrowToWide(kItem), L"run");
  }
  void TearDown() override {
    task_.reset();
    WorkspaceTest::TearDown();
  }

  static std::vector<std::string> Args(const std::string& source, const std::string& target,
                                       const std::string& start = "0",
                                       const std::string& item = kItem) {
    return {source, target, start, "1024", kTask, item};
  }
  RunResult Copy(const std::string& source, const std::string& target,
                 const std::string& start = "0") {
    return testing::RunProgram(testing::SkiffwrightPath(), Args(source, target, start));
  }
  // The stored "position" of the item, or "none" when none was written.
  static std::string Position(const std::string& item = kItem) {
    return WideToNarrow(
        ReadProfileString(NarrowToWide(item), L"position", L"none", 20, L"./config/inner.cnf"));
  }
  static uint64_t FileSize(const std::string& path) {
    std::optional<PathInfo> info = StatPath(path);
    return info ? info->size : 0;
  }
  // True when the file at `path` holds exactly the first bytes of `source`.
  static bool IsPrefixOf(const std::string& path, const std::string& source) {
    std::string part = ReadFile(path);
    return part == ReadFile(source).substr(0, part.size());
  }

  // A copy that takes many seconds: one-byte chunks make every 1024 bytes a
  // stored report. The file is small enough to compare cheaply.
  std::unique_ptr<StartedProgram> StartSlowCopy(const std::string& item = kItem) {
    SetBufferSize("1");
    testing::WriteRandomFile(Path("big"), kSlowSize, 11);
    auto copier = std::make_unique<StartedProgram>(testing::SkiffwrightPath(),
                                                   Args("big", "out/big", "0", item));
    // Running for real: the first reports are stored.
    EXPECT_TRUE(WaitFor([&] { return Position(item) != "none"; }));
    return copier;
  }
  // Checks a copier stopped within about two seconds of `since` and left the
  // temporary file holding every chunk it counted, unrenamed.
  void ExpectStopped(StartedProgram& copier, std::chrono::steady_clock::time_point since) {
    ASSERT_TRUE(WaitFor([&] { return copier.HasEnded(); }, std::chrono::seconds(5)));
    auto took = std::chrono::steady_clock::now() - since;
    EXPECT_LT(took, std::chrono::milliseconds(3000));  // a 1 s poll, then one batch
    EXPECT_EQ(copier.Wait(), 0);
    EXPECT_FALSE(PathExists(Path("out/big")));
    std::string temp = Path(std::string("out/big") + kTempSuffix);
    uint64_t position = std::stoull(Position());
    EXPECT_GE(FileSize(temp), position);
    EXPECT_LT(FileSize(temp), kSlowSize);  // really stopped mid-way
    EXPECT_TRUE(IsPrefixOf(temp, "big"));
    // The last line printed is the stored position.
    std::string out = copier.output();
    ASSERT_FALSE(out.empty());
    out.pop_back();
    EXPECT_EQ(out.substr(out.rfind('\n') + 1), std::to_string(position));
  }

  // The copier's last line for the file now at `relative`.
  std::string PlacedLine(const std::string& relative) const {
    std::optional<PathInfo> info = StatPath(Path(relative));
    if (!info) return "(no file at " + relative + ")";
    return std::string(kPlacedLinePrefix) + std::to_string(info->device) + " " +
           std::to_string(info->inode) + "\n";
  }

  // An item of a serving copier, ready to run (its "runstatus" is "run").
  static CopierItem Item(const std::string& source, const std::string& target,
                         const std::string& item, int64_t start = 0) {
    WriteItemRunStatus(NarrowToWide(item), L"run");
    return CopierItem{NarrowToWide(source), NarrowToWide(target), start, L"1024",
                      NarrowToWide(kTask),  NarrowToWide(item)};
  }

  static constexpr uint64_t kSlowSize = 48 << 20;
  std::unique_ptr<testing::MarkerHolder> task_;
};

TEST_F(SkiffwrightTest, CopiesThroughTheTemporaryFileWithReports) {
  testing::WriteRandomFile(Path("src"), 2500, 1);
  RunResult r = Copy("src", "dst");
  EXPECT_EQ(r.exit_code, 0) << r.error;
  // The progress lines, then the line that names the file put at the target.
  EXPECT_EQ(r.output, "2048\n3072\n" + PlacedLine("dst"));
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(Position(), "3072");
  EXPECT_TRUE(FilesEqual(Path("src"), Path("dst")));
  EXPECT_FALSE(PathExists(Path(std::string("dst") + kTempSuffix)));

  RunResult few =
      testing::RunProgram(testing::SkiffwrightPath(), {"src", "dst", "0", "1024", kTask});
  EXPECT_EQ(few.exit_code, 0);
  EXPECT_EQ(few.output, "argc is 6\n");
}

TEST_F(SkiffwrightTest, StartPositionAndTemporaryFile) {
  if (!testing::FileSystemKeepsTags(dir())) {
    GTEST_SKIP() << "this file system keeps no tags: a copier that stops removes its untagged "
                    "temporary file, and no run resumes into one";
  }
  std::string temp = std::string("dst") + kTempSuffix;

  // An empty source: an empty target, no line, no position.
  WriteFile(Path("empty"), "");
  RunResult r = Copy("empty", "dst");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.output, PlacedLine("dst"));
  EXPECT_EQ(Position(), "none");
  EXPECT_TRUE(PathExists(Path("dst")));
  EXPECT_EQ(FileSize(Path("dst")), 0u);
  RemoveFileAt(Path("dst"));

  // A start beyond the size (a negative one too) creates nothing at all.
  testing::WriteRandomFile(Path("src"), 10000, 2);
  for (const char* start : {"10001", "-1"}) {
    r = Copy("src", "new/dst", start);
    EXPECT_EQ(r.exit_code, 0) << start;
    EXPECT_FALSE(PathExists(Path("new"))) << start;
  }

  // Without a temporary file the start position is ignored.
  r = Copy("src", "dst", "5000");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(FilesEqual(Path("src"), Path("dst")));
  RemoveFileAt(Path("dst"));

  // With one and a start equal to the size: no chunk, but the length is set
  // (the tail beyond the size goes) and the file renamed.
  WriteFile(Path(temp), ReadFile(Path("src")) + "stale tail");
  ASSERT_TRUE(TagTempFor(Path(temp), NarrowToWide(Path("dst"))).ok());
  r = Copy("src", "dst", "10000");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.output, PlacedLine("dst"));
  EXPECT_TRUE(FilesEqual(Path("src"), Path("dst")));
  EXPECT_FALSE(PathExists(Path(temp)));
  RemoveFileAt(Path("dst"));

  // A longer temporary file from another copy is rewritten and cut back.
  WriteFile(Path(temp), std::string(30000, 'x'));
  ASSERT_TRUE(TagTempFor(Path(temp), NarrowToWide(Path("dst"))).ok());
  r = Copy("src", "dst");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(FilesEqual(Path("src"), Path("dst")));
}

// Only a temporary file tagged for the target is this copier's: a user's file
// called like one, or one tagged for another target, is left as it is and the
// copy goes through the next name, which a stopped copy keeps (tagged) and a
// later copy resumes into.
TEST_F(SkiffwrightTest, UsesOnlyItsOwnTaggedTemporaryFile) {
  const std::string plain = std::string("dst") + kTempSuffix;
  const std::string next = std::string("dst~1") + kTempSuffix;
  testing::WriteRandomFile(Path("src"), 10000, 4);
  WriteFile(Path(plain), "the user's own file");
  if (!testing::FileSystemKeepsTags(dir())) GTEST_SKIP() << "this file system keeps no tags";
  RunResult r = Copy("src", "dst", "5000");
  EXPECT_EQ(r.exit_code, 0) << r.error;
  EXPECT_TRUE(FilesEqual(Path("src"), Path("dst")));
  EXPECT_EQ(ReadFile(Path(plain)), "the user's own file");
  EXPECT_FALSE(PathExists(Path(next)));
  EXPECT_FALSE(ReadFileTag(Path("dst"), kTempTag).has_value());  // a target carries no tag
  RemoveFileAt(Path("dst"));

  // Tagged for another target: not ours either. A tagged file at the next
  // name is resumed into from the start position given.
  ASSERT_TRUE(TagTempFor(Path(plain), NarrowToWide(Path("other"))).ok());
  WriteFile(Path(next), ReadFile(Path("src")).substr(0, 8192));
  ASSERT_TRUE(TagTempFor(Path(next), NarrowToWide(Path("dst"))).ok());
  r = Copy("src", "dst", "8192");
  EXPECT_EQ(r.exit_code, 0) << r.error;
  EXPECT_TRUE(FilesEqual(Path("src"), Path("dst")));
  EXPECT_EQ(ReadFile(Path(plain)), "the user's own file");
  EXPECT_FALSE(PathExists(Path(next)));
}

TEST_F(SkiffwrightTest, NeverReplacesAnExistingTarget) {
  if (!testing::FileSystemKeepsTags(dir())) {
    GTEST_SKIP() << "this file system keeps no tags: a copier that stops removes its untagged "
                    "temporary file, and no run resumes into one";
  }
  testing::WriteRandomFile(Path("src"), 5000, 3);
  WriteFile(Path("dst"), "older");
  RunResult r = Copy("src", "dst");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(ReadFile(Path("dst")), "older");
  EXPECT_TRUE(FilesEqual(Path("src"), Path(std::string("dst") + kTempSuffix)));
}

TEST_F(SkiffwrightTest, RefusesSourcesThatAreNotFilesAndOverlongPaths) {
  testing::MakeDirs(Path("dir"));
  std::vector<std::string> sources = {"dir", "missing"};
#ifndef _WIN32
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  sources.push_back("fifo");
#endif
  for (const std::string& source : sources) {
    RunResult r = Copy(source, "out/dst");
    EXPECT_EQ(r.exit_code, 0) << source;
    EXPECT_EQ(r.output, "") << source;
    EXPECT_FALSE(PathExists(Path("out"))) << source;
  }

  WriteFile(Path("src"), "data");
  std::string long_target = "out/" + std::string(5000, 'n');
  RunResult r = Copy("src", long_target);
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.error.find("too long"), std::string::npos) << r.error;
  EXPECT_FALSE(PathExists(Path("out")));
  r = Copy(std::string(5000, 's'), "dst");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_FALSE(PathExists(Path("dst")));
}

TEST_F(SkiffwrightTest, CreatesDirectoriesAndKeepsNamesByteForByte) {
#ifdef _WIN32
  // Names are UTF-16 here, and may not hold double quotes.
  std::string name = "a b 'x' \u0437\u0430\u0434\u0430\u0447\u0430 \u30d5\u30a1\u30a4\u30eb.bin";
  std::string target = Path("new dir/\u0444 sub/" + name);
#else
  std::string name = "a b \"quoted\" 'x' \xff\xfe\x80.bin";
  std::string target = Path("new dir/\xc3\x28 sub/" + name);  // absolute, bad UTF-8
#endif
  testing::MakeDirs(Path("in"));
  testing::WriteRandomFile(Path("in/" + name), 70000, 4);
  RunResult r = Copy("in/" + name, target);
  EXPECT_EQ(r.exit_code, 0) << r.error;
  EXPECT_TRUE(FilesEqual(Path("in/" + name), target));
}

TEST_F(SkiffwrightTest, FallsBackToTheDefaultChunkForABadBufferSize) {
  testing::WriteRandomFile(Path("src"), 2500, 5);
  for (const char* setting : {"0", "-4096", "lots"}) {
    SetBufferSize(setting);
    RunResult r = Copy("src", std::string("dst-") + setting);
    EXPECT_EQ(r.exit_code, 0) << setting;
    EXPECT_NE(r.error.find("buffersize"), std::string::npos) << r.error;
    EXPECT_EQ(r.output, "2048\n3072\n" + PlacedLine(std::string("dst-") + setting)) << setting;
    EXPECT_TRUE(FilesEqual(Path("src"), Path(std::string("dst-") + setting)));
  }
}

#ifndef _WIN32  // a file size limit for a child is POSIX's
TEST_F(SkiffwrightTest, AFailedWriteNeverLeavesARenamedTarget) {
  testing::WriteRandomFile(Path("src"), 4 << 20, 6);
  // The child inherits a 1 MiB file size limit, with SIGXFSZ ignored so that
  // the write fails with an error instead of killing the process.
  struct rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit limit = old_limit;
  limit.rlim_cur = 1 << 20;
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  RunResult r = Copy("src", "dst");
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.error.find(std::string("dst") + kTempSuffix), std::string::npos) << r.error;
  EXPECT_FALSE(PathExists(Path("dst")));
  // Every position stored before the failure is backed by the file.
  EXPECT_TRUE(IsPrefixOf(Path(std::string("dst") + kTempSuffix), Path("src")));
  EXPECT_LE(std::stoull(Position()), FileSize(Path(std::string("dst") + kTempSuffix)));
}

#endif

TEST_F(SkiffwrightTest, ASecondCopierForTheSameItemIsRejected) {
  auto first = StartSlowCopy();
  RunResult second = testing::RunProgram(testing::SkiffwrightPath(), Args("big", "other"));
  EXPECT_EQ(second.exit_code, 255);  // -1
  EXPECT_EQ(second.output, "");
  EXPECT_FALSE(PathExists(Path("other")));
  EXPECT_FALSE(PathExists(Path(std::string("other") + kTempSuffix)));
  EXPECT_FALSE(first->HasEnded());
}

TEST_F(SkiffwrightTest, StopsWhenTheRunStatusChanges) {
  if (!testing::FileSystemKeepsTags(dir())) {
    GTEST_SKIP() << "this file system keeps no tags: a copier that stops removes its untagged "
                    "temporary file, and no run resumes into one";
  }
  auto copier = StartSlowCopy();
  auto since = std::chrono::steady_clock::now();
  WriteItemRunStatus(NarrowToWide(kItem), L"stop");
  ExpectStopped(*copier, since);
}

TEST_F(SkiffwrightTest, StopsWhenTheTaskMarkerGoes) {
  if (!testing::FileSystemKeepsTags(dir())) {
    GTEST_SKIP() << "this file system keeps no tags: a copier that stops removes its untagged "
                    "temporary file, and no run resumes into one";
  }
  auto copier = StartSlowCopy();
  auto since = std::chrono::steady_clock::now();
  task_->Release();
  ExpectStopped(*copier, since);
}

TEST_F(SkiffwrightTest, StopsWhenTheFrontEndMarkerGoes) {
  if (!testing::FileSystemKeepsTags(dir())) {
    GTEST_SKIP() << "this file system keeps no tags: a copier that stops removes its untagged "
                    "temporary file, and no run resumes into one";
  }
  auto copier = StartSlowCopy();
  auto since = std::chrono::steady_clock::now();
  ReleaseFrontEnd();
  ExpectStopped(*copier, since);
}

TEST_F(SkiffwrightTest, ResumesFromTheStoredPositionAfterAKill) {
  auto copier = StartSlowCopy();
  ASSERT_TRUE(WaitFor([&] { return std::stoull(Position()) >= 64 * 1024; }));
  copier->KillAtOnce();
  copier->Wait();
  std::string temp = Path(std::string("out/big") + kTempSuffix);
  uint64_t position = std::stoull(Position());
  ASSERT_LT(position, kSlowSize);
  ASSERT_GE(FileSize(temp), position);
  EXPECT_EQ(ReadFile(temp).substr(0, position), ReadFile(Path("big")).substr(0, position));

  // Chunks sit at absolute offsets, so the resumed run may use another size.
  SetBufferSize("1048576");
  RunResult r = Copy("big", "out/big", std::to_string(position));
  EXPECT_EQ(r.exit_code, 0) << r.error;
  ASSERT_FALSE(r.output.empty());
  EXPECT_GT(std::stoull(r.output), position);  // began where it left off
  EXPECT_TRUE(FilesEqual(Path("big"), Path("out/big")));
}

// A serving copier copies each item as a one-shot copier would, ends each
// with its line, lets go of each item's marker (free for the next copier),
// refuses a line that is no
// item without ending, and ends at the end of its input.
TEST_F(SkiffwrightTest, ServesItemsOneAfterAnother) {
#ifdef _WIN32
  // A tab and a backslash have no place in a file's name here.
  const std::vector<std::string> names = {"a", "with blank", "\xc3\xa9t\xc3\xa9 x"};
#else
  const std::vector<std::string> names = {"a", "with\ttab", "\xc3\xa9t\xc3\xa9 \\x"};
#endif
  for (size_t i = 0; i < names.size(); ++i) {
    testing::WriteRandomFile(Path(names[i]), 1000 + 40000 * i, static_cast<uint32_t>(20 + i));
  }
  ServingCopier copier;
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_TRUE(copier.Send(Item(names[i], "out/" + names[i], "item-" + std::to_string(i))));
  }
  std::string out = copier.ReadEnds(names.size());
  size_t from = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_TRUE(FilesEqual(Path(names[i]), Path("out/" + names[i])));
    // Its progress lines, its placed line, its end line, in that order.
    std::string ending = PlacedLine("out/" + names[i]) + ItemEndLine(kCopierExitDone);
    size_t at = out.find(ending, from);
    ASSERT_NE(at, std::string::npos) << out;
    from = at + ending.size();
    EXPECT_TRUE(IsMarkerAbsent(NarrowToWide("item-" + std::to_string(i))));
  }
  EXPECT_EQ(from, out.size()) << out;
  EXPECT_FALSE(copier.child().HasEnded());

  // Not an item, an item cut short by the end of the input: refused, and the
  // copier goes on to the end of its input.
  ASSERT_TRUE(copier.SendLine("source only\n"));
  ASSERT_TRUE(copier.SendLine(EncodeServedItem(Item("a", "out/cut", "item-3")).substr(0, 12)));
  copier.child().CloseInput();
  out = copier.ReadEnds(names.size() + 2);
  EXPECT_EQ(out.substr(from), ItemEndLine(kCopierExitFailed) + ItemEndLine(kCopierExitFailed));
  EXPECT_EQ(copier.child().Wait().exit_code, kCopierExitDone);
  EXPECT_FALSE(PathExists(Path("out/cut")));
}

// The stop of one item ends that item alone: the copy after it, whose run
// status says run, copies to its end.
TEST_F(SkiffwrightTest, AStopOfOneServedItemLeavesTheNext) {
  SetBufferSize("1");
  testing::WriteRandomFile(Path("big"), kSlowSize, 11);
  testing::WriteRandomFile(Path("small"), 30000, 12);
  ServingCopier copier;
  ASSERT_TRUE(copier.Send(Item("big", "out/big", kItem)));
  ASSERT_TRUE(copier.Send(Item("small", "out/small", "item-2")));
  ASSERT_TRUE(WaitFor([&] { return Position() != "none"; }));
  WriteItemRunStatus(NarrowToWide(kItem), L"stop");

  std::string out = copier.ReadEnds(2);
  EXPECT_EQ(copier.EndLines(), 2u) << out;
  EXPECT_FALSE(PathExists(Path("out/big")));
  EXPECT_LT(std::stoull(Position()), kSlowSize);  // really stopped mid-way
  EXPECT_TRUE(FilesEqual(Path("small"), Path("out/small")));
  EXPECT_TRUE(out.ends_with(PlacedLine("out/small") + ItemEndLine(kCopierExitDone))) << out;
  EXPECT_TRUE(IsMarkerAbsent(NarrowToWide(kItem)));
}

#ifndef _WIN32  // the copier is killed by its process id
// A serving copier killed mid-item leaves the item to the next copier, which
// resumes it from the stored position.
TEST_F(SkiffwrightTest, AKilledServingCopiersItemIsResumedByAnother) {
  SetBufferSize("1");
  testing::WriteRandomFile(Path("big"), kSlowSize, 11);
  uint64_t position = 0;
  {
    ServingCopier copier;
    ASSERT_TRUE(copier.Send(Item("big", "out/big", kItem)));
    ASSERT_TRUE(
        WaitFor([&] { return Position() != "none" && std::stoull(Position()) >= 64 * 1024; }));
    ::kill(copier.child().pid(), SIGKILL);
    EXPECT_EQ(copier.child().Wait().signal, SIGKILL);
    position = std::stoull(Position());
  }
  SetBufferSize("1048576");
  ServingCopier copier;
  ASSERT_TRUE(copier.Send(Item("big", "out/big", kItem, static_cast<int64_t>(position))));
  std::string out = copier.ReadEnds(1);
  EXPECT_TRUE(out.ends_with(PlacedLine("out/big") + ItemEndLine(kCopierExitDone))) << out;
  EXPECT_GT(std::stoull(out), position);  // began where it left off
  EXPECT_TRUE(FilesEqual(Path("big"), Path("out/big")));
}
#endif

}  // namespace
}  // namespace quorvalmist
