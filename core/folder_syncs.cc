#include "core/folder_syncs.h"

#include "platform/file.h"

namespace quorvalmist {

Status FolderSyncs::Sync(const std::string& folder) {
  std::unique_lock<std::mutex> lock(mutex_);
  Folder& state = folders_[folder];
  const uint64_t ticket = ++state.asked;
  for (;;) {
    if (state.served >= ticket) return state.last;
    if (state.running) {
      finished_.wait(lock);
      continue;
    }
    // This sync serves every call made so far.
    state.running = true;
    const uint64_t serves = state.asked;
    lock.unlock();
    Status status = SyncDirectory(folder);
    lock.lock();
    state.running = false;
    state.served = serves;
    state.last = status;
    finished_.notify_all();
  }
}

}  // namespace quorvalmist
