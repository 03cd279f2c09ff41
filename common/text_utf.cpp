#include "common/text_utf.h"

#include <cstdint>

namespace plumet_text {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp >= 0xD800 && cp <= 0xDFFF) cp = kReplacement;
  if (cp > 0x10FFFF) cp = kReplacement;
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::string ToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    if (wc == L'\0') break;
    // wchar_t is signed on Linux; a negative value is no code point at all.
    const auto raw = static_cast<uint32_t>(static_cast<int32_t>(wc));
    AppendUtf8(static_cast<char32_t>(raw), &out);
  }
  return out;
}

std::wstring FromUtf8(const std::string& bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead == 0) break;
    if (lead < 0x80) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    // Sequence length and the bounds of the second byte (these exclude overlong forms,
    // surrogates and values above U+10FFFF at the earliest byte that gives them away).
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3;
      cp = lead & 0x0F;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4;
      cp = lead & 0x07;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      out.push_back(static_cast<wchar_t>(kReplacement));
      ++i;
      continue;
    }
    size_t used = 1;
    bool ok = true;
    for (; used < len; ++used) {
      if (i + used >= n) {
        ok = false;
        break;
      }
      const auto b = static_cast<unsigned char>(bytes[i + used]);
      const bool in_range = used == 1 ? (b >= lo && b <= hi) : IsContinuation(b);
      if (!in_range) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    out.push_back(static_cast<wchar_t>(ok ? cp : kReplacement));
    i += used;  // a broken sequence gives up to (not including) the offending byte
  }
  return out;
}

}  // namespace plumet_text
