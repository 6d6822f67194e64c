#include "platform/ini_text.h"

#include "platform/text.h"

namespace quorvalmist {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// Blanks around names and values; a line break never reaches here.
constexpr std::wstring_view kBlanks = L" \t\r";

std::wstring_view TrimView(std::wstring_view s) { return TrimBlanks(s, kBlanks); }
std::wstring Trim(const std::wstring& s) { return std::wstring(TrimView(s)); }

// The section name of a header line "[name]", or nullopt for other lines.
std::optional<std::wstring> SectionName(const std::wstring& line) {
  // Most lines are "key=value": leave them without building any string.
  size_t first = line.find_first_not_of(kBlanks);
  if (first == std::wstring::npos || line[first] != L'[') return std::nullopt;
  std::wstring t = Trim(line);
  if (t.size() < 2 || t.front() != L'[') return std::nullopt;
  size_t close = t.rfind(L']');
  if (close == std::wstring::npos || close == 0) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

bool IsComment(std::wstring_view line) {
  std::wstring_view t = TrimView(line);
  return !t.empty() && (t[0] == L';' || t[0] == L'#');
}

// True when `line` is "key=value" for `key` (ignoring case and surrounding
// blanks); *value is then the trimmed value. Builds no string for other lines.
bool MatchKey(std::wstring_view line, std::wstring_view key, std::wstring_view* value) {
  size_t eq = line.find(L'=');
  if (eq == std::wstring_view::npos) return false;
  if (!EqualsIgnoringCase(TrimView(line.substr(0, eq)), key)) return false;
  *value = TrimView(line.substr(eq + 1));
  return true;
}

std::wstring Unquote(std::wstring_view v) {
  if (v.size() >= 2 && (v.front() == L'"' || v.front() == L'\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return std::wstring(v);
}

}  // namespace

IniText IniText::Parse(const std::wstring& text) {
  IniText ini;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find(L'\n', start);
    size_t end = nl == std::wstring::npos ? text.size() : nl;
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') {
      line.pop_back();
      ini.crlf_ = true;
    }
    ini.lines_.push_back({std::move(line)});
    if (nl == std::wstring::npos) break;
    start = nl + 1;
  }
  return ini;
}

size_t IniText::FindSection(const std::wstring& section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    auto name = SectionName(lines_[i].text);
    if (name && EqualsIgnoringCase(*name, section)) return i;
  }
  return kNone;
}

std::optional<std::wstring> IniText::Get(const std::wstring& section,
                                         const std::wstring& key) const {
  size_t s = FindSection(section);
  if (s == kNone) return std::nullopt;
  for (size_t i = s + 1; i < lines_.size(); ++i) {
    const std::wstring& line = lines_[i].text;
    if (SectionName(line)) break;
    if (IsComment(line)) continue;
    std::wstring_view v;
    if (MatchKey(line, key, &v)) return Unquote(v);
  }
  return std::nullopt;
}

void IniText::Set(const std::wstring& section, const std::wstring& key, const std::wstring& value) {
  std::wstring new_line = key + L"=" + value;
  size_t s = FindSection(section);
  if (s == kNone) {
    lines_.push_back({L"[" + section + L"]"});
    lines_.push_back({new_line});
    return;
  }
  size_t last_content = s;  // insert after the section's last non-blank line
  size_t i = s + 1;
  for (; i < lines_.size(); ++i) {
    const std::wstring& line = lines_[i].text;
    if (SectionName(line)) break;
    std::wstring_view v;
    if (!IsComment(line) && MatchKey(line, key, &v)) {
      lines_[i].text = new_line;
      return;
    }
    if (!TrimView(line).empty()) last_content = i;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last_content + 1), {new_line});
}

size_t IniText::RemoveSections(const std::set<std::wstring>& lower_case_names) {
  std::vector<Line> kept;
  kept.reserve(lines_.size());
  size_t removed = 0;
  bool dropping = false;
  for (auto& line : lines_) {
    if (auto name = SectionName(line.text)) {
      dropping = lower_case_names.count(LowerAscii(*name)) > 0;
      if (dropping) ++removed;
    }
    if (!dropping) kept.push_back(std::move(line));
  }
  lines_ = std::move(kept);
  return removed;
}

std::vector<std::wstring> IniText::SectionNames() const {
  std::vector<std::wstring> names;
  for (const auto& line : lines_) {
    if (auto name = SectionName(line.text)) names.push_back(std::move(*name));
  }
  return names;
}

std::wstring IniText::ToText() const {
  std::wstring text;
  const wchar_t* eol = crlf_ ? L"\r\n" : L"\n";
  for (const auto& line : lines_) {
    text += line.text;
    text += eol;
  }
  return text;
}

}  // namespace quorvalmist
