// Folder syncs shared by the threads that settle copies: the renames of
// several copies into one folder are made durable by one sync of the folder.
#ifndef QUORVALMIST_CORE_FOLDER_SYNCS_H_
#define QUORVALMIST_CORE_FOLDER_SYNCS_H_

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/status.h"

namespace quorvalmist {

class FolderSyncs {
 public:
  // Returns once a sync of `folder` that began after this call was made has
  // ended, with its status: every rename done in the folder before the call is
  // then on the disk. Callers that come while a sync runs wait for the next,
  // which serves all of them; so one sync of a folder runs at a time. Blocks;
  // safe on any thread.
  Status Sync(const std::string& folder);

 private:
  struct Folder {
    uint64_t asked = 0;   // calls so far
    uint64_t served = 0;  // calls served by a finished sync
    bool running = false;
    Status last;
  };
  std::mutex mutex_;
  std::condition_variable finished_;
  std::map<std::string, Folder> folders_;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_CORE_FOLDER_SYNCS_H_
