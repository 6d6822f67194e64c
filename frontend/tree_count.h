// Counting a source tree before and while a directory task copies it, so the
// display knows the totals. It walks as the core's directory run walks
// (WalkSourceTree): every entry that is not entered counts as a file (the core
// makes a row for each), a link to a directory kept as a link included; a
// link to a directory is entered when links are followed, unless it leads
// back up the tree; the target root is skipped. A link kept as a link counts
// at its own size, its text's length, as its row does; a followed link at the
// size of what it names.
#ifndef QUORVALMIST_FRONTEND_TREE_COUNT_H_
#define QUORVALMIST_FRONTEND_TREE_COUNT_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace quorvalmist {

struct TreeCount {
  uint64_t files = 0;
  uint64_t bytes = 0;
  // Symbolic links: to files (also dangling ones; counted among the files,
  // as the core makes a row for each) and to directories (entered when links
  // are followed, their files counted; otherwise made as links and counted
  // among the files).
  uint64_t links_to_files = 0;
  uint64_t links_to_directories = 0;
  // Of the links to directories, those that lead to a directory above them
  // (when followed): not entered; the core names each as a problem.
  uint64_t cycles = 0;
};

// Counts the tree under `root` on the calling thread. Returns early (with a
// partial count) once `*cancel` is set.
TreeCount CountTree(const std::string& root, const std::string& target_root, bool follow_links,
                    const std::atomic<bool>* cancel = nullptr);

// CountTree on a thread of its own. The result is ready once done() is true.
// The destructor cancels the walk and joins the thread.
class BackgroundTreeCount {
 public:
  BackgroundTreeCount(std::string root, std::string target_root, bool follow_links);
  ~BackgroundTreeCount();
  BackgroundTreeCount(const BackgroundTreeCount&) = delete;
  BackgroundTreeCount& operator=(const BackgroundTreeCount&) = delete;

  bool done() const { return done_.load(std::memory_order_acquire); }
  // Only after done() returned true.
  const TreeCount& result() const { return result_; }

 private:
  std::atomic<bool> cancel_{false};
  std::atomic<bool> done_{false};
  TreeCount result_;
  std::thread thread_;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_TREE_COUNT_H_
