#include "common/target_path.h"

#include "platform/text.h"

namespace quorvalmist {

namespace {
void StripTrailing(std::wstring* s, wchar_t c) {
  while (!s->empty() && s->back() == c) s->pop_back();
}
}  // namespace

std::wstring NormalizeDirPath(const std::wstring& path) {
  std::wstring p = path;
  StripTrailing(&p, L'\\');
  StripTrailing(&p, L'/');
  StripTrailing(&p, L'\\');
  StripTrailing(&p, L'/');
  p.push_back(kPathSeparator);
  return p;
}

std::wstring MakeTargetPath(const std::wstring& file_path, const std::wstring& source_root,
                            const std::wstring& target_root) {
  std::wstring s = NormalizeDirPath(source_root);
  std::wstring t = NormalizeDirPath(target_root);
  return t + (file_path.size() > s.size() ? file_path.substr(s.size()) : std::wstring());
}

std::wstring JoinEntryPath(const std::wstring& directory, const std::wstring& name) {
  if (!directory.empty() && directory.back() == kPathSeparator) return directory + name;
  return directory + kPathSeparator + name;
}

}  // namespace quorvalmist
