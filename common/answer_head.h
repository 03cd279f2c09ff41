#pragma once
// The head of the final answer among the header lines libcurl collected for one request. An
// interim answer ("100 Continue"), a proxy's answer to CONNECT or a redirect each add a block of
// their own before it; only the last block speaks for the service.

#include <string_view>

namespace plumet_text {

// The text from the status line of the last answer block on: the last line that begins with
// "HTTP/" and follows the start of the text or an empty line (lines end in "\n" or "\r\n").
// Without such a line, the whole text.
inline std::string_view FinalAnswerHead(std::string_view headers) {
  size_t chosen = 0;
  bool blockStart = true;
  size_t pos = 0;
  while (pos < headers.size()) {
    size_t end = headers.find('\n', pos);
    if (end == std::string_view::npos) end = headers.size();
    std::string_view line = headers.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      blockStart = true;
    } else {
      if (blockStart && line.substr(0, 5) == "HTTP/") chosen = pos;
      blockStart = false;
    }
    pos = end + 1;
  }
  return headers.substr(chosen);
}

}  // namespace plumet_text
