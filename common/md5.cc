#include "common/md5.h"

#include <memory>
#include <new>
#include <thread>

#include "common/file_info.h"
#include "common/md5_digest.h"
#include "platform/file.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace quorvalmist {

std::wstring FormatDigestHex(const unsigned char digest[16]) {
  return NarrowToWide(HexDigits(digest, 16));
}

std::wstring HashStreamMd5(File& stream, const std::atomic<bool>* stop,
                           std::atomic<uint64_t>* hashed) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[HashReadSize]);
  if (!buffer) return std::wstring();
  std::unique_ptr<Md5Digest> md5 = Md5Digest::Create();
  if (!md5) return std::wstring();
  // Reads from the device go in large requests ahead of the hash: a window
  // of kReadAhead bytes is asked for whenever the hash enters its second
  // half, so the small reads below find the data in memory (on a disk that
  // serves small requests slowly, the ordinary read-ahead alone read a
  // dropped 1 GiB file at a quarter of the device's speed).
  constexpr uint64_t kReadAhead = uint64_t{32} << 20;
  uint64_t offset = 0, asked_to = 0;
  size_t since_yield = HashChunkSize;
  for (;;) {
    if (offset + kReadAhead / 2 >= asked_to) {
      stream.AdviseWillNeed(asked_to, kReadAhead);
      asked_to += kReadAhead;
    }
    if (stop && stop->load(std::memory_order_relaxed)) return std::wstring();
    size_t read = 0;
    Status s = stream.Read(buffer.get(), HashReadSize, &read);
    if (!s.ok()) return std::wstring();  // a damaged read must never verify
    if (read == 0) break;                // end of input
    offset += read;
    if (hashed) hashed->fetch_add(read, std::memory_order_relaxed);
    if (since_yield >= HashChunkSize) {
      SleepMilliseconds(0);  // let other work run between chunks
      since_yield = 0;
    }
    since_yield += read;
    if (!md5->Update(buffer.get(), read)) return std::wstring();
  }
  unsigned char digest[16];
  if (!md5->Finish(digest)) return std::wstring();
  return FormatDigestHex(digest);
}

std::wstring HashFileMd5(const std::wstring& path, const std::atomic<bool>* stop,
                         std::atomic<uint64_t>* hashed) {
  File file;
  if (!File::Open(WideToNarrow(path), File::Mode::kReadRegular, &file).ok()) return std::wstring();
  file.AdviseSequential();
  return HashStreamMd5(file, stop, hashed);
}

std::wstring HashFileMd5FromDisk(const std::wstring& path, const std::atomic<bool>* stop,
                                 std::atomic<uint64_t>* hashed) {
  File file;
  if (!File::Open(WideToNarrow(path), File::Mode::kRead, &file).ok()) return std::wstring();
  // Dirty pages cannot be dropped: they are written first.
  if (!file.SyncData().ok()) return std::wstring();
  file.DropCachedPages();
  file.AdviseSequential();
  return HashStreamMd5(file, stop, hashed);
}

bool FilesMatch(const std::wstring& source, const std::wstring& target) {
  return FilesMatch(source, target, MatchOptions());
}

namespace {

// Files from this size on are hashed on two threads (source and target).
constexpr uint64_t kParallelHashBytes = uint64_t{1} << 20;

}  // namespace

bool FilesMatch(const std::wstring& source, const std::wstring& target,
                const MatchOptions& options) {
  auto source_size = QueryFileSize(source);
  auto target_size = QueryFileSize(target);
  if (!source_size || !target_size || *source_size != *target_size) return false;
  auto hash_target = [&] {
    return options.target_from_disk ? HashFileMd5FromDisk(target, options.stop, options.hashed)
                                    : HashFileMd5(target, options.stop, options.hashed);
  };
  std::wstring a, b;
  // A small file is hashed sooner than a thread is started for it.
  if (options.parallel && *source_size >= kParallelHashBytes && AvailableProcessors() > 1) {
    // Two passes over different files overlap: each thread has its own small
    // buffer, and the verdict is the same as one after the other.
    std::thread source_hash([&] { a = HashFileMd5(source, options.stop, options.hashed); });
    b = hash_target();
    source_hash.join();
  } else {
    a = HashFileMd5(source, options.stop, options.hashed);
    if (a.empty()) return false;
    b = hash_target();
  }
  return !a.empty() && a == b;
}

}  // namespace quorvalmist
