// MD5 digests of files as 32 lower-case hex characters, and the comparison of
// a copy with its source by size and digest.
#ifndef QUORVALMIST_COMMON_MD5_H_
#define QUORVALMIST_COMMON_MD5_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvalmist {

class File;

// The hash yields the processor once before every 10 MiB of data, so a long
// hash does not monopolise it.
inline constexpr size_t HashChunkSize = 10485760;

// Size of the one read buffer and of every read. Reads that fit the
// processor's first-level cache keep the data there between the read and the
// digest; with 10 MiB reads every byte went through main memory twice and the
// hash ran about a fifth slower than md5sum.
inline constexpr size_t HashReadSize = 65536;

// The 16 digest bytes as 32 lower-case hex digits.
std::wstring FormatDigestHex(const unsigned char digest[16]);

// Digest of what `stream` yields from its current position to its end. A read
// error yields the empty text (never a digest of the part read), as does a
// failure to allocate the buffer, and so does `stop` when it is raised part-way
// (it is looked at before every read). Does not close the stream. Each read
// adds its bytes to `*hashed` when given, so that another thread can follow.
std::wstring HashStreamMd5(File& stream, const std::atomic<bool>* stop = nullptr,
                           std::atomic<uint64_t>* hashed = nullptr);

// Digest of the whole file, or the empty text when it cannot be opened or
// read to its end, or is not a regular file (a FIFO or device is never read,
// and opening it never blocks).
std::wstring HashFileMd5(const std::wstring& path, const std::atomic<bool>* stop = nullptr,
                         std::atomic<uint64_t>* hashed = nullptr);

// Digest of the whole file as its device holds it: the file's data is made
// durable and its cached pages dropped before it is read, so the digest is of
// what the disk returns, not of what was written to memory. Empty text as for
// HashFileMd5.
std::wstring HashFileMd5FromDisk(const std::wstring& path, const std::atomic<bool>* stop = nullptr,
                                 std::atomic<uint64_t>* hashed = nullptr);

struct MatchOptions {
  // Read the target from its device (HashFileMd5FromDisk).
  bool target_from_disk = false;
  // Hash source and target at the same time, on two threads, when this
  // process may run on more than one processor and the files are of 1 MiB or
  // more; one after the other otherwise.
  bool parallel = true;
  // When raised, the hashes end part-way and the files do not match; the
  // caller tells a stop from a difference by this flag.
  const std::atomic<bool>* stop = nullptr;
  // When given, the bytes read so far by both hashes (up to twice the size),
  // for a thread that reports the comparison's progress.
  std::atomic<uint64_t>* hashed = nullptr;
};

// True when both files exist, have the same size and the same digest. Files of
// different sizes are not opened. Two unreadable files never match.
bool FilesMatch(const std::wstring& source, const std::wstring& target);
bool FilesMatch(const std::wstring& source, const std::wstring& target,
                const MatchOptions& options);

}  // namespace quorvalmist

#endif  // QUORVALMIST_COMMON_MD5_H_
