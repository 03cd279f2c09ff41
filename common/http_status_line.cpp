#include "common/http_status_line.h"

#include "common/answer_head.h"

namespace plumet_text {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<int> ReadStatusLine(std::string_view line) {
  static constexpr std::string_view kProtocol = "http/";
  if (line.size() < kProtocol.size()) return std::nullopt;
  for (size_t i = 0; i < kProtocol.size(); ++i) {
    const char c = line[i];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kProtocol[i]) return std::nullopt;
  }
  size_t pos = kProtocol.size();
  const size_t versionStart = pos;
  while (pos < line.size() && (IsDigit(line[pos]) || line[pos] == '.')) ++pos;
  if (pos == versionStart || pos == line.size() || line[pos] != ' ') return std::nullopt;
  while (pos < line.size() && line[pos] == ' ') ++pos;
  if (line.size() - pos < 3 || !IsDigit(line[pos]) || !IsDigit(line[pos + 1]) ||
      !IsDigit(line[pos + 2]))
    return std::nullopt;
  const int code = (line[pos] - '0') * 100 + (line[pos + 1] - '0') * 10 + (line[pos + 2] - '0');
  pos += 3;
  if (pos < line.size() && line[pos] != ' ') return std::nullopt;
  if (code < 100 || code > 599) return std::nullopt;
  return code;
}

}  // namespace

std::optional<int> FinalAnswerStatus(std::string_view headers) {
  const std::string_view head = FinalAnswerHead(headers);
  for (size_t pos = 0; pos < head.size();) {
    size_t end = head.find('\n', pos);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) return ReadStatusLine(line);
    pos = end + 1;
  }
  return std::nullopt;
}

}  // namespace plumet_text
