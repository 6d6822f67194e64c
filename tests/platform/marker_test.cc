#include "platform/marker.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace quorvalmist {
namespace {

using ::quorvalmist::testing::TempDir;

class MarkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    markers_ = dir_ / "markers";
    ::quorvalmist::testing::MakeDirs(markers_);
    std::filesystem::permissions(markers_, std::filesystem::perms::owner_all);
    ::quorvalmist::testing::SetEnvironmentValue("QUORVALMIST_MARKER_DIR", markers_);
  }
#ifndef _WIN32
  // Forks a process that claims `name`, reports the result through a pipe and
  // then waits to be killed.
  pid_t ForkClaimer(const std::wstring& name, ClaimResult* result) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      char r = static_cast<char>(ClaimMarker(name));
      if (::write(fds[1], &r, 1) != 1) _exit(3);
      for (;;) ::pause();
    }
    ::close(fds[1]);
    char r = 0;
    EXPECT_EQ(::read(fds[0], &r, 1), 1);
    ::close(fds[0]);
    *result = static_cast<ClaimResult>(r);
    return pid;
  }
  static void KillAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status;
    ::waitpid(pid, &status, 0);
  }

#endif
  TempDir dir_;
  std::string markers_;
};

// Markers across processes, on every platform: held by other processes, a
// name is there while any holder lives, refuses a claim, and is absent once
// the last holder is killed; then it can be claimed again.
TEST_F(MarkerTest, MarkersHeldByOtherProcessesLiveUntilTheLastHolderIsKilled) {
  EXPECT_TRUE(IsMarkerAbsent(L"task 1"));
  {
    quorvalmist::testing::MarkerHolder a(L"task 1"), b(L"task 1");
    EXPECT_FALSE(IsMarkerAbsent(L"task 1"));
    EXPECT_EQ(ClaimMarker(L"task 1"), ClaimResult::kAlreadyClaimed);
    a.Release();
    EXPECT_FALSE(IsMarkerAbsent(L"task 1"));
    EXPECT_EQ(ClaimMarker(L"task 1"), ClaimResult::kAlreadyClaimed);
    EXPECT_TRUE(IsMarkerAbsent(L"task 2"));
  }
  EXPECT_TRUE(IsMarkerAbsent(L"task 1"));
  EXPECT_EQ(ClaimMarker(L"task 1"), ClaimResult::kClaimed);
  EXPECT_FALSE(IsMarkerAbsent(L"task 1"));
  ReleaseMarker(L"task 1");
  EXPECT_TRUE(IsMarkerAbsent(L"task 1"));
}

#ifndef _WIN32

TEST_F(MarkerTest, SecondClaimFailsWhileFirstLivesAndSucceedsAfterKill) {
  EXPECT_TRUE(IsMarkerAbsent(L"task 1"));
  ClaimResult first;
  pid_t pid = ForkClaimer(L"task 1", &first);
  EXPECT_EQ(first, ClaimResult::kClaimed);
  EXPECT_FALSE(IsMarkerAbsent(L"task 1"));
  EXPECT_EQ(ClaimMarker(L"task 1"), ClaimResult::kAlreadyClaimed);
  KillAndReap(pid);  // SIGKILL: no chance to clean up
  EXPECT_TRUE(IsMarkerAbsent(L"task 1"));
  EXPECT_EQ(ClaimMarker(L"task 1"), ClaimResult::kClaimed);
  EXPECT_FALSE(IsMarkerAbsent(L"task 1"));
}

TEST_F(MarkerTest, HoldersShareAMarkerThatLivesWhileAnyOfThemLives) {
  quorvalmist::testing::MarkerHolder a(L"front"), b(L"front");
  EXPECT_FALSE(IsMarkerAbsent(L"front"));
  a.Release();
  EXPECT_FALSE(IsMarkerAbsent(L"front"));
  ClaimResult r;
  pid_t pid = ForkClaimer(L"front", &r);
  EXPECT_EQ(r, ClaimResult::kAlreadyClaimed);  // it exists: someone holds it
  KillAndReap(pid);
  b.Release();
  EXPECT_TRUE(IsMarkerAbsent(L"front"));
}

TEST_F(MarkerTest, AbsenceTestsNeverMakeAConcurrentClaimFail) {
  constexpr int kNames = 400;
  constexpr uint64_t kOverlappingProbes = 2000;
  auto name = [](int i) { return L"item-" + std::to_wstring(i); };
  // The prober counts its probes in memory shared with this process, so the
  // test can see that probes really ran while the claims were made.
  auto* probes = static_cast<std::atomic<uint64_t>*>(::mmap(nullptr, sizeof(std::atomic<uint64_t>),
                                                            PROT_READ | PROT_WRITE,
                                                            MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(probes, MAP_FAILED);
  new (probes) std::atomic<uint64_t>(0);
  pid_t prober = ::fork();
  if (prober == 0) {
    for (;;) {
      for (int i = 0; i < kNames; ++i) {
        IsMarkerAbsent(name(i));
        probes->fetch_add(1);
      }
    }
  }
  ASSERT_TRUE(testing::WaitFor([&] { return probes->load() > 0; }));
  // Claims go on (fresh names, then the same ones again, which must then be
  // refused as held) until enough probes overlapped them.
  uint64_t before = probes->load();
  int failures = 0;
  for (int i = 0; i < kNames; ++i) {
    if (ClaimMarker(name(i)) != ClaimResult::kClaimed) ++failures;
  }
  int refused = 0, rounds = 0;
  while (probes->load() - before < kOverlappingProbes && rounds < 1000) {
    ++rounds;
    for (int i = 0; i < kNames; ++i) {
      if (ClaimMarker(name(i)) == ClaimResult::kAlreadyClaimed) ++refused;
    }
  }
  uint64_t overlapping = probes->load() - before;
  KillAndReap(prober);
  ::munmap(probes, sizeof(std::atomic<uint64_t>));
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(refused, rounds * kNames);  // held by this process all along
  EXPECT_GE(overlapping, kOverlappingProbes);
}

TEST_F(MarkerTest, ReleasedMarkersLeaveNoFileAndRacingClaimsNeverHoldTwice) {
  // Two processes claim and release one name as fast as they can, while its
  // file is removed at every release; memory shared with this process counts
  // the holders.
  struct Shared {
    std::atomic<int> holders;
    std::atomic<int> overlaps;
    std::atomic<int> failures;
    std::atomic<int> claims[2];
  };
  auto* shared = static_cast<Shared*>(
      ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(shared, MAP_FAILED);
  new (shared) Shared{};
  pid_t racers[2];
  for (int k = 0; k < 2; ++k) {
    racers[k] = ::fork();
    if (racers[k] == 0) {
      for (int i = 0; i < 3000; ++i) {
        ClaimResult r = ClaimMarker(L"racy");
        if (r == ClaimResult::kFailed) shared->failures.fetch_add(1);
        if (r != ClaimResult::kClaimed) continue;
        if (shared->holders.fetch_add(1) != 0) shared->overlaps.fetch_add(1);
        shared->claims[k].fetch_add(1);
        shared->holders.fetch_sub(1);
        ReleaseMarker(L"racy");
      }
      _exit(0);
    }
  }
  for (pid_t racer : racers) {
    int status = 0;
    ASSERT_EQ(::waitpid(racer, &status, 0), racer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(shared->overlaps.load(), 0);
  EXPECT_EQ(shared->failures.load(), 0);
  EXPECT_GT(shared->claims[0].load(), 0);
  EXPECT_GT(shared->claims[1].load(), 0);
  ::munmap(shared, sizeof(Shared));
  // Every release took the file along, and the free name is claimed at once.
  struct stat st;
  EXPECT_NE(::lstat((markers_ + "/" + MarkerFileName(L"racy")).c_str(), &st), 0);
  EXPECT_EQ(ClaimMarker(L"racy"), ClaimResult::kClaimed);

  // A process that ends normally takes the files of its claims along.
  pid_t child = ::fork();
  if (child == 0) {
    if (ClaimMarker(L"until exit") != ClaimResult::kClaimed) _exit(1);
    std::exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(::lstat((markers_ + "/" + MarkerFileName(L"until exit")).c_str(), &st), 0);
}

#endif

TEST_F(MarkerTest, ArbitraryNamesMapToDistinctBoundedMarkers) {
  std::vector<std::wstring> names = {L"with space",
                                     L"a/b",
                                     L"a%2Fb",
                                     L"quote\"s and 'single'",
                                     L"\u4efb\u52a1-\u0437\u0430\u0434\u0430\u0447\u0430",
                                     L"..",
                                     L".",
                                     L"",
                                     std::wstring(1000, L'x'),
                                     std::wstring(999, L'x') + L"y",
                                     std::wstring(1000, L'\u00e9')};
  std::set<std::string> files;
  for (const auto& n : names) {
    std::string f = MarkerFileName(n);
    EXPECT_LE(f.size(), 255u);
    EXPECT_EQ(f.find('/'), std::string::npos);
    EXPECT_NE(f, ".");
    EXPECT_NE(f, "..");
    files.insert(f);
  }
  EXPECT_EQ(files.size(), names.size());
  for (const auto& n : names) EXPECT_EQ(ClaimMarker(n), ClaimResult::kClaimed);
  for (const auto& n : names) EXPECT_FALSE(IsMarkerAbsent(n));
  EXPECT_TRUE(IsMarkerAbsent(L"a"));
}

#ifndef _WIN32
TEST_F(MarkerTest, RefusesADirectoryThatIsNotPrivate) {
  EXPECT_TRUE(CheckPrivateDirectory(markers_).ok());
  std::string open_dir = dir_ / "open";
  ASSERT_EQ(::mkdir(open_dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(open_dir.c_str(), 0777), 0);
  EXPECT_FALSE(CheckPrivateDirectory(open_dir).ok());
  std::string link = dir_ / "link";
  ASSERT_EQ(::symlink(markers_.c_str(), link.c_str()), 0);
  EXPECT_FALSE(CheckPrivateDirectory(link).ok());
  if (::geteuid() == 0) {
    // Another user's directory must not be shared, whatever its mode.
    std::string theirs = dir_ / "theirs";
    ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(CheckPrivateDirectory(theirs).ok());
    ::setenv("QUORVALMIST_MARKER_DIR", theirs.c_str(), 1);
    EXPECT_EQ(ClaimMarker(L"x"), ClaimResult::kFailed);
    EXPECT_TRUE(IsMarkerAbsent(L"x"));  // an unusable namespace reads as absent: stop
  }
  // Without a namespace of its own each user gets a directory named by uid.
  ::unsetenv("QUORVALMIST_MARKER_DIR");
  ::setenv("XDG_RUNTIME_DIR", "", 1);
  std::string path;
  MarkerDirectory(&path);
  struct stat shm;
  bool in_memory = ::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode);
  EXPECT_EQ(path, std::string(in_memory ? "/dev/shm" : "/tmp") + "/quorvalmist-markers-" +
                      std::to_string(::geteuid()));
}
#endif

}  // namespace
}  // namespace quorvalmist
