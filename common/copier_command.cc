#include "common/copier_command.h"

#include <cstdlib>
#include <cstring>

#include "common/config_store.h"
#include "platform/text.h"

namespace quorvalmist {

namespace {

constexpr char kFieldSeparator = '\t';
constexpr size_t kFieldCount = 6;

void AppendEscaped(const std::wstring& value, std::string* line) {
  for (char c : WideToNarrow(value)) {
    switch (c) {
      case '\\':
        *line += "\\\\";
        break;
      case '\t':
        *line += "\\t";
        break;
      case '\n':
        *line += "\\n";
        break;
      case '\r':
        *line += "\\r";
        break;
      default:
        *line += c;
    }
  }
}

// Splits at the separators and undoes the escapes; false on a stray escape.
bool SplitFields(const std::string& line, std::vector<std::string>* fields) {
  fields->assign(1, std::string());
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == kFieldSeparator) {
      fields->emplace_back();
      continue;
    }
    if (c != '\\') {
      fields->back() += c;
      continue;
    }
    if (++i == line.size()) return false;
    switch (line[i]) {
      case '\\':
        fields->back() += '\\';
        break;
      case 't':
        fields->back() += '\t';
        break;
      case 'n':
        fields->back() += '\n';
        break;
      case 'r':
        fields->back() += '\r';
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

std::vector<std::wstring> CopierArguments(const CopierItem& item) {
  return {item.source, item.target,  std::to_wstring(item.start),
          item.buffer, item.task_id, item.item_id};
}

std::wstring CopierCommandLine(const CopierItem& item) {
  return std::wstring(kCopierProgramName) + L" \"" + item.source + L"\"  \"" + item.target +
         L"\" " + std::to_wstring(item.start) + L" " + item.buffer + L" " + item.task_id + L" " +
         item.item_id;
}

std::optional<CopierItem> ParseCopierArguments(const std::vector<std::wstring>& args) {
  if (args.size() < kFieldCount + 1) return std::nullopt;
  CopierItem item;
  item.source = args[1];
  item.target = args[2];
  item.start = WideToInt64(args[3]);
  item.buffer = args[4];
  item.task_id = args[5];
  item.item_id = args[6];
  return item;
}

std::string EncodeServedItem(const CopierItem& item) {
  std::string line;
  std::vector<std::wstring> values = CopierArguments(item);
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += kFieldSeparator;
    AppendEscaped(values[i], &line);
  }
  line += '\n';
  return line;
}

std::optional<CopierItem> DecodeServedItem(const std::string& line) {
  std::vector<std::string> fields;
  if (!SplitFields(line, &fields) || fields.size() != kFieldCount) return std::nullopt;
  std::vector<std::wstring> args{L""};
  for (const std::string& field : fields) args.push_back(NarrowToWide(field));
  return ParseCopierArguments(args);
}

std::string ItemEndLine(int exit_code) {
  return kItemEndPrefix + std::to_string(exit_code & 0xff) + "\n";
}

std::optional<int> ParseItemEndLine(const std::string& line) {
  size_t prefix = std::strlen(kItemEndPrefix);
  if (line.compare(0, prefix, kItemEndPrefix) != 0 || line.size() == prefix) return std::nullopt;
  int code = 0;
  for (size_t i = prefix; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9' || code > 255) return std::nullopt;
    code = code * 10 + (line[i] - '0');
  }
  if (code > 255) return std::nullopt;
  return code;
}

}  // namespace quorvalmist
