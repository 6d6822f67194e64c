// The directory run costs one ItemExistsForSource and one InsertItem per file.
// This measures that pair against a task database that already holds
// 1,000 / 100,000 / 1,000,000 item rows of the same task; the figure must
// stay well under a millisecond and flat as the table grows.
//
//   qv_item_table_bench [--benchmark_filter=...]
// Works in a fresh directory under $TMPDIR (or /tmp), removed at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "db/db_create.h"
#include "db/item_table.h"
#include "db/record_access.h"
#include "db/schema.h"
#include "db/searched_dirs.h"

namespace quorvalmist {
namespace {

constexpr const wchar_t* kTask = L"0F8FAD5B-D9CB-469f-A165-70867728950E";

// A working directory holding a database with `rows` item rows. Databases
// are made once per size and shared by the benchmarks; Use() makes one the
// process-wide connection, opened as the core opens it.
class BenchDb {
 public:
  explicit BenchDb(long rows) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qvbench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
    Enter();
    CreateTaskDbFor(kConnectionString);
    OpenTaskDb(kConnectionString);
    // Only for filling: a large page cache makes the million random keys
    // quick to insert. The measured connection is opened afresh by Use().
    RunChange(L"pragma cache_size=-262144");
    // Rows spread over directories of 1,000 files each, with paths as long
    // as a real tree's, all of one task.
    RunChange(L"with recursive n(i) as (select 1 union all select i + 1 from n where i < " +
              std::to_wstring(rows) +
              L") insert into tcitem2(id, tcitemid, sourcefile, targetfile, positionnum, totalnum, "
              L"copystatus) select hex(randomblob(16)), '" +
              kTask +
              L"', '/data/projects/source/dir' || (i / 1000) || '/file-' || i || '.bin', "
              L"'/backup/target/dir' || (i / 1000) || '/file-' || i || '.bin', '', '12345', "
              L"'ready' from n");
    CloseTaskDbForTesting();
  }
  ~BenchDb() {
    CloseTaskDbForTesting();
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(dir_);
  }

  void Use() {
    CloseTaskDbForTesting();
    Enter();
    OpenTaskDb(kConnectionString);
  }

 private:
  void Enter() { std::filesystem::current_path(dir_); }
  std::filesystem::path dir_;
};

BenchDb& SharedDb(long rows) {
  static std::map<long, std::unique_ptr<BenchDb>> dbs;
  auto& db = dbs[rows];
  if (!db) db = std::make_unique<BenchDb>(rows);
  db->Use();
  return *db;
}

void BM_ExistsThenInsert(benchmark::State& state) {
  SharedDb(state.range(0));
  // Runs are repeated on the same database, so names never start over.
  static long next = 0;
  for (auto _ : state) {
    std::wstring name = L"/data/projects/source/new/file-" + std::to_wstring(next++) + L".bin";
    if (ItemExistsForSource(kTask, name)) state.SkipWithError("a new file was found");
    benchmark::DoNotOptimize(
        InsertItem(L"", kTask, name, L"/backup/target/new" + name, L"", L"12345", kStatusReady));
  }
  state.counters["rows"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_ExistsThenInsert)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);

// A resumed run looks up every file it already recorded.
void BM_ExistsForRecordedFile(benchmark::State& state) {
  SharedDb(state.range(0));
  long i = 1;
  for (auto _ : state) {
    std::wstring name = L"/data/projects/source/dir" + std::to_wstring(i / 1000) + L"/file-" +
                        std::to_wstring(i) + L".bin";
    if (!ItemExistsForSource(kTask, name)) state.SkipWithError("a recorded file was not found");
    i = i % state.range(0) + 1;
  }
}
BENCHMARK(BM_ExistsForRecordedFile)
    ->Arg(1000)
    ->Arg(1000000)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0);

// The status updates of one copy, by id.
void BM_StatusUpdatesOfOneCopy(benchmark::State& state) {
  SharedDb(state.range(0));
  std::wstring id = InsertItem(L"", kTask, L"/x", L"/y", L"", L"7", kStatusReady);
  for (auto _ : state) {
    SetItemCopyStatus(id, kStatusFinish);
    SetItemPositionToTotal(id);
    SetItemMd5Status(id, kMd5Uncheck);
  }
}
BENCHMARK(BM_StatusUpdatesOfOneCopy)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvalmist

BENCHMARK_MAIN();
