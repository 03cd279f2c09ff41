#include "session/text_utf.h"

#include <cstdint>

#include "upload/upload_http.h"

namespace plumet {

std::string WideToUtf8(const std::wstring& text) { return ToUtf8(text); }

std::wstring Utf8ToWide(const std::string& bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead == 0) break;
    size_t len = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if (lead < 0x80) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      len = 2, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      len = 3, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      len = 4, cp = lead & 0x07, min = 0x10000;
    }
    size_t used = 1;
    bool ok = len != 0 && i + len <= n;
    for (; ok && used < len; ++used) {
      const auto c = static_cast<unsigned char>(bytes[i + used]);
      if ((c & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    // A malformed sequence becomes one replacement character and is skipped as far as it went.
    out.push_back(ok ? static_cast<wchar_t>(cp) : static_cast<wchar_t>(0xFFFD));
    i += ok ? len : (used == 0 ? 1 : used);
  }
  return out;
}

}  // namespace plumet
