// The small file operations the copier rests on: narrow path conversion,
// telling files and directories apart, directory creation, chunk counting,
// copying one range at an absolute offset, and setting a file's length.
// They keep no state between calls.
#ifndef QUORVALMIST_INNER_FILE_PRIMITIVES_H_
#define QUORVALMIST_INNER_FILE_PRIMITIVES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/protocol.h"
#include "platform/file.h"
#include "platform/status.h"

namespace quorvalmist {

// Converts `wide_path` to the narrow file-system encoding (see platform/text.h:
// any Linux name round-trips byte for byte) into `buffer`, zero-terminated.
// Returns `buffer`; nullptr when the text and its terminator do not fit in
// `capacity` bytes (the buffer then holds the empty text if capacity > 0).
char* ToAnsiPath(std::wstring_view wide_path, char* buffer, size_t capacity);

// True when `ansi_path` (links followed) names a regular file. False for a
// directory, FIFO, socket or device, and for a path that cannot be reached.
bool IsRegularFile(const char* ansi_path);

// Number of chunks of `chunk_length` bytes that cover [start, size):
// ceil((size - start) / chunk_length), 0 when start == size. Requires
// start <= size and chunk_length > 0. 64-bit, so that any file size is
// counted with any chunk length.
int64_t CountChunks(uint64_t size, uint64_t start, int32_t chunk_length);

// Copies up to `length` bytes of `source` starting at `offset` to `target` at
// the same offset (the target grows as needed; a gap before the offset reads
// as zeros). *copied is the number of bytes copied, less than `length` only
// when the source ended. The data is handed to the system before the call
// returns (no user-space buffering), so a later process sees it. A failed read
// or write is reported; *copied then counts what was copied before it.
Status CopyChunk(File& source, File& target, uint64_t offset, uint64_t length, uint64_t* copied);

// An open file with a file pointer. Every read and write of the copier is at an
// absolute offset, so the pointer is only a position that length setting moves
// and reads back.
struct FileHandle {
  File file;
  uint64_t position = 0;
};

enum class SeekMethod { kBegin, kCurrent, kEnd };

// Moves the pointer of `handle` by `distance` from the start, the current
// position or the end of the file. Returns the new absolute position, or -1
// when the position would be negative or the file's size cannot be read.
int64_t SeekFile64(FileHandle& handle, int64_t distance, SeekMethod method);

// Sets the length of the existing file at `path` to exactly `length` bytes,
// cutting it back or extending it with zeros. Fails when the file is missing
// or cannot be changed.
Status SetFileLength(std::wstring path, uint64_t length);

// Makes the complete temporary file at `temp` ready to become the target:
// when `durable`, its data is written to the disk first (fdatasync, after the
// length was set); then it gets the permission bits and the access and
// modification times (nanoseconds) of `source`, and, when this process may
// (root), its owner and group with the set-id bits. Modes and owners that the
// file system cannot keep are no failure: *kept says which were not kept. A
// failure is reported; the caller must then not rename.
Status FinishTemporaryFile(const std::string& temp, const std::string& source, bool durable,
                           File::AttributesKept* kept);

}  // namespace quorvalmist

#endif  // QUORVALMIST_INNER_FILE_PRIMITIVES_H_
