#include "dorvic/src/text.h"

#include "common/text_forms.h"

namespace dorvic {

std::string UrlEncode(const std::string& bytes) { return plumet_text::PercentEncode(bytes); }

std::string EncodePath(const std::wstring& path) {
  const std::string utf8 = ToUtf8(path);
  const bool trailing_slash = !utf8.empty() && utf8.back() == '/';
  std::string joined;
  size_t pos = 0;
  while (pos <= utf8.size()) {
    size_t next = utf8.find('/', pos);
    if (next == std::string::npos) next = utf8.size();
    if (next > pos) {
      joined += UrlEncode(utf8.substr(pos, next - pos));
      joined += '/';
    }
    pos = next + 1;
  }
  if (!trailing_slash && !joined.empty()) joined.pop_back();
  return "/" + joined;
}

}  // namespace dorvic
