// The profile functions, the same on every platform: the text is read and
// edited by IniText, the file is read and replaced by the platform's files.
#include "platform/profile.h"

#include <optional>
#include <set>

#include "platform/ini_text.h"
#include "platform/profile_file.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

// Parses the file's text, lets `edit` change it, and gives back the new bytes
// when it did.
bool EditText(std::string* bytes, const std::function<bool(IniText*)>& edit) {
  IniText ini = IniText::Parse(NarrowToWide(*bytes));
  if (!edit(&ini)) return false;
  *bytes = WideToNarrow(ini.ToText());
  return true;
}

}  // namespace

std::optional<std::wstring> TryReadProfileString(const std::wstring& section,
                                                 const std::wstring& key,
                                                 const std::wstring& default_value, size_t capacity,
                                                 const std::wstring& path) {
  std::wstring value = default_value;
  std::string bytes;
  switch (ReadProfileFile(path, &bytes)) {
    case ProfileRead::kRead:
      if (auto found = IniText::Parse(NarrowToWide(bytes)).Get(section, key)) value = *found;
      break;
    case ProfileRead::kMissing:
      break;
    case ProfileRead::kFailed:
      return std::nullopt;
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
  return EditProfileFile(path, [&](std::string* bytes) {
    return EditText(bytes, [&](IniText* ini) {
      ini->Set(section, key, value);
      return true;
    });
  });
}

std::vector<std::wstring> ReadProfileSectionNames(const std::wstring& path) {
  std::string bytes;
  if (ReadProfileFile(path, &bytes) != ProfileRead::kRead) return {};
  return IniText::Parse(NarrowToWide(bytes)).SectionNames();
}

bool RemoveProfileSections(const std::wstring& path, const std::wstring* sections, size_t count) {
  std::set<std::wstring> names;
  for (size_t i = 0; i < count; ++i) names.insert(LowerAscii(sections[i]));
  return EditProfileFile(path, [&](std::string* bytes) {
    return EditText(bytes, [&](IniText* ini) { return ini->RemoveSections(names) > 0; });
  });
}

}  // namespace quorvalmist
