#include "platform/buffer_copy.h"

#include <algorithm>
#include <vector>

namespace quorvalmist {

Status CopyRangeThroughBuffer(File& source, File& target, uint64_t offset, uint64_t length,
                              uint64_t* copied) {
  uint64_t done = 0;
  std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(length, 1 << 20)));
  while (done < length) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(length - done, buffer.size()));
    size_t got = 0;
    Status s = source.ReadAt(offset + done, buffer.data(), want, &got);
    if (s.ok()) s = target.WriteAt(offset + done, buffer.data(), got);
    if (!s.ok()) {
      *copied = done;
      return s;
    }
    done += got;
    if (got < want) break;
  }
  *copied = done;
  return Status::Ok();
}

}  // namespace quorvalmist
