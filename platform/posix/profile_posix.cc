#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "platform/ini_text.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// Reads the whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->clear();
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Holds an exclusive lock on "<path>.lock" for its lifetime.
class WriterLock {
 public:
  explicit WriterLock(const std::string& path) {
    fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    int rc;
    do {
      rc = ::flock(fd_, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~WriterLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Replaces the file's content atomically: the new text goes to "<path>.new" in
// the same directory (a fixed name: writers hold the lock, and a leftover of a
// killed writer is simply emptied), which then trades names with the old file
// (RENAME_EXCHANGE) before the old content is unlinked. A reader opens either
// the old or the new file, never a half-written one. The exchange is used
// rather than a rename over the old file because ext4 flushes a file's data to
// disk on every rename over an existing name, which made each "position"
// report cost milliseconds; an exchange does not. Where the file system lacks
// the exchange, or the file does not exist yet, a plain rename serves.
bool ReplaceFile(const std::string& path, const std::string& bytes) {
  std::string temp = path + ".new";
  mode_t mode = 0644;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes);
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
    ::unlink(temp.c_str());  // now the old content
    return true;
  }
  if (::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

template <typename Edit>
bool EditFile(const std::wstring& wide_path, Edit edit) {
  std::string path = WideToNarrow(wide_path);
  WriterLock lock(path);
  if (!lock.held()) return false;  // e.g. the directory is missing: the write is lost
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return false;  // there but unreadable: keep it
    bytes.clear();
  }
  IniText ini = IniText::Parse(NarrowToWide(bytes));
  if (!edit(&ini)) return true;
  return ReplaceFile(path, WideToNarrow(ini.ToText()));
}

}  // namespace

std::optional<std::wstring> TryReadProfileString(const std::wstring& section,
                                                 const std::wstring& key,
                                                 const std::wstring& default_value, size_t capacity,
                                                 const std::wstring& path) {
  std::wstring value = default_value;
  std::string narrow_path = WideToNarrow(path);
  std::string bytes;
  if (ReadWholeFile(narrow_path, &bytes)) {
    if (auto found = IniText::Parse(NarrowToWide(bytes)).Get(section, key)) value = *found;
  } else {
    // Missing (or reached through a missing directory): the default. Anything
    // else is a read that failed.
    struct stat st;
    if (::stat(narrow_path.c_str(), &st) == 0 || errno != ENOENT) return std::nullopt;
  }
  if (capacity == 0) return std::wstring();
  if (value.size() > capacity - 1) value.resize(capacity - 1);
  return value;
}

std::wstring ReadProfileString(const std::wstring& section, const std::wstring& key,
                               const std::wstring& default_value, size_t capacity,
                               const std::wstring& path) {
  std::optional<std::wstring> value =
      TryReadProfileString(section, key, default_value, capacity, path);
  if (value) return *value;
  return capacity == 0 ? std::wstring() : default_value.substr(0, capacity - 1);
}

bool WriteProfileString(const std::wstring& section, const std::wstring& key,
                        const std::wstring& value, const std::wstring& path) {
  return EditFile(path, [&](IniText* ini) {
    ini->Set(section, key, value);
    return true;
  });
}

std::vector<std::wstring> ReadProfileSectionNames(const std::wstring& path) {
  std::string bytes;
  if (!ReadWholeFile(WideToNarrow(path), &bytes)) return {};
  return IniText::Parse(NarrowToWide(bytes)).SectionNames();
}

bool RemoveProfileSections(const std::wstring& path, const std::wstring* sections, size_t count) {
  std::set<std::wstring> names;
  for (size_t i = 0; i < count; ++i) {
    names.insert(LowerAscii(sections[i]));
  }
  return EditFile(path, [&](IniText* ini) { return ini->RemoveSections(names) > 0; });
}

}  // namespace quorvalmist
