#include "core/case_twin.h"

#include <memory>
#include <set>

#include "platform/no_destructor.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

char FlipCase(char c) {
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
  return c;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FlipCase(a[i]) != b[i]) return false;
  }
  return true;
}

// The names of the one directory listed last. A second copy into a target on
// such a file system finds every file there; the listing is then made once
// per directory, not once per file, and again only for a name it lacks (one
// placed since).
struct ListedDirectory {
  std::string path;
  std::set<std::string> names;
};

ListedDirectory& LastListed() {
  static NoDestructor<ListedDirectory> listed;
  return *listed;
}

void List(const std::string& directory) {
  ListedDirectory& listed = LastListed();
  listed.path = directory;
  listed.names.clear();
  Status status;
  std::unique_ptr<DirectoryLister> lister =
      DirectoryLister::Open(directory, &status, DirectoryLister::Links::kReportLinks);
  if (!lister) return;
  DirectoryEntry entry;
  while (lister->Next(&entry)) listed.names.insert(entry.name);
}

}  // namespace

std::optional<std::string> CaseTwinAt(const std::string& path) {
  size_t start = LastComponentStart(path);
  std::string directory = path.substr(0, start);
  std::string name = path.substr(start);
  std::string flipped = name;
  for (char& c : flipped) c = FlipCase(c);
  if (flipped == name) return std::nullopt;
  // A directory that tells cases apart mostly finds nothing under the other
  // spelling; only where it finds something is the directory listed. (The
  // identity of what it finds proves nothing: FUSE numbers a file anew for
  // each spelling it is looked up by.)
  if (!StatPath(directory + flipped)) return std::nullopt;
  ListedDirectory& listed = LastListed();
  if (listed.path == directory && listed.names.count(name) > 0) return std::nullopt;
  List(directory.empty() ? "." : directory);
  listed.path = directory;
  if (listed.names.count(name) > 0) return std::nullopt;
  for (const std::string& there : listed.names) {
    if (EqualIgnoringCase(there, name)) return there;
  }
  return std::nullopt;
}

}  // namespace quorvalmist
