// File-system paths to and from the narrow text of the programs, which is
// UTF-8. std::filesystem's own narrow conversions (string(), a path made from
// std::string) use the system's code page where paths are wide (Windows);
// through char8_t they are UTF-8 everywhere and keep the bytes unchanged
// where paths are narrow. SQLite takes its file names as UTF-8.
#ifndef QUORVALMIST_DB_UTF8_PATH_H_
#define QUORVALMIST_DB_UTF8_PATH_H_

#include <filesystem>
#include <string>

namespace quorvalmist {

inline std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path) {
  std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace quorvalmist

#endif  // QUORVALMIST_DB_UTF8_PATH_H_
