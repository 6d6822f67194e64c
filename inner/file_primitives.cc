#include "inner/file_primitives.h"

#include <cstring>
#include <limits>

#include "common/file_info.h"
#include "platform/text.h"

namespace quorvalmist {

char* ToAnsiPath(std::wstring_view wide_path, char* buffer, size_t capacity) {
  std::string narrow = WideToNarrow(wide_path);
  if (narrow.size() + 1 > capacity) {
    if (capacity > 0) buffer[0] = '\0';
    return nullptr;
  }
  std::memcpy(buffer, narrow.data(), narrow.size());
  buffer[narrow.size()] = '\0';
  return buffer;
}

bool IsRegularFile(const char* ansi_path) {
  auto info = StatPath(ansi_path);
  return info && info->is_regular;
}

int64_t CountChunks(uint64_t size, uint64_t start, int32_t chunk_length) {
  uint64_t remaining = size - start;
  uint64_t length = static_cast<uint64_t>(chunk_length);
  uint64_t chunks = remaining / length + (remaining % length > 0 ? 1 : 0);
  // At most 2^64 / 1 chunks in theory, but a file size is an off_t, so the
  // count always fits.
  return static_cast<int64_t>(chunks);
}

Status CopyChunk(File& source, File& target, uint64_t offset, uint64_t length, uint64_t* copied) {
  *copied = 0;
  return target.CopyRangeFrom(source, offset, length, copied);
}

int64_t SeekFile64(FileHandle& handle, int64_t distance, SeekMethod method) {
  int64_t base = 0;
  switch (method) {
    case SeekMethod::kBegin:
      break;
    case SeekMethod::kCurrent:
      base = static_cast<int64_t>(handle.position);
      break;
    case SeekMethod::kEnd: {
      auto info = StatPath(handle.file.path());
      if (!info) return -1;
      base = static_cast<int64_t>(info->size);
      break;
    }
  }
  if ((distance > 0 && base > std::numeric_limits<int64_t>::max() - distance) ||
      base + distance < 0) {
    return -1;
  }
  handle.position = static_cast<uint64_t>(base + distance);
  return base + distance;
}

Status SetFileLength(std::wstring path, uint64_t length) {
  FileHandle handle;
  Status s = File::Open(WideToNarrow(path), File::Mode::kReadWrite, &handle.file);
  if (!s.ok()) return s;
  if (length > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
      SeekFile64(handle, static_cast<int64_t>(length), SeekMethod::kBegin) < 0) {
    return Status::Error(-1, "cannot set the length of " + handle.file.path() +
                                 ": the length is beyond what a file position holds");
  }
  s = handle.file.Truncate(handle.position);
  if (!s.ok()) return s;
  return handle.file.Close();
}

Status FinishTemporaryFile(const std::string& temp, const std::string& source, bool durable,
                           File::AttributesKept* kept) {
  File file;
  Status s = File::Open(temp, File::Mode::kReadWrite, &file);
  if (!s.ok()) return s;
  if (durable) {
    s = file.SyncData();
    if (!s.ok()) return s;
  }
  s = file.TakeAttributesOf(source, CanKeepOwners(), kept);
  if (!s.ok()) return s;
  return file.Close();
}

}  // namespace quorvalmist
