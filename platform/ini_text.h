// The INI text model behind the profile functions: parse text into lines,
// look a key up, set a key, remove sections, and print the text again. Pure
// logic, no file access.
#ifndef QUORVALMIST_PLATFORM_INI_TEXT_H_
#define QUORVALMIST_PLATFORM_INI_TEXT_H_

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quorvalmist {

class IniText {
 public:
  // Splits text into lines (LF or CRLF); every line is kept as written.
  static IniText Parse(const std::wstring& text);

  // The value of the first matching key of the first matching section, with
  // blanks around it and one pair of enclosing quotes removed; nullopt when
  // the section or key is missing.
  std::optional<std::wstring> Get(const std::wstring& section, const std::wstring& key) const;

  // Replaces the value of the first matching key, or appends "key=value" at the
  // end of the first matching section, or appends a new section at the end.
  void Set(const std::wstring& section, const std::wstring& key, const std::wstring& value);

  // Removes every section whose name (ignoring case) is in `names`, with its
  // lines. Returns how many sections were removed.
  size_t RemoveSections(const std::set<std::wstring>& lower_case_names);

  // The names of the sections, in order, as written (blanks around trimmed).
  std::vector<std::wstring> SectionNames() const;

  // The text with LF line ends (CRLF where the input used CRLF).
  std::wstring ToText() const;

 private:
  struct Line {
    std::wstring text;
  };
  // Index of the first line of the first section called `section`, or npos.
  size_t FindSection(const std::wstring& section) const;
  std::vector<Line> lines_;
  bool crlf_ = false;
};

}  // namespace quorvalmist

#endif  // QUORVALMIST_PLATFORM_INI_TEXT_H_
