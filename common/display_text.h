#pragma once
// Texts from a link (a remote path above all) end up where their characters mean something: in a
// notification body that the server reads as markup, and in log lines on a terminal or in the
// system log. These forms keep such a text a plain, one-line text there.

#include <string>
#include <string_view>

namespace plumet_text {

// True for the C0 controls, DEL and the C1 controls (U+0080..U+009F): a line break would start a
// line of its own, an escape sequence would drive the terminal.
inline bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

// `text` with every control character replaced by "?".
inline std::wstring ControlsReplaced(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) {
    if (IsControl(static_cast<char32_t>(c))) c = L'?';
  }
  return out;
}

// UTF-8 `text` with every control character replaced by "?" (a C1 control's two bytes by one);
// every other byte, malformed or not, stays as it is.
inline std::string ControlsReplacedUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (byte == 0xC2 && next >= 0x80 && next < 0xA0) {
      out += '?';
      ++i;
    } else {
      // Bytes from 0x80 up are parts of longer sequences, not controls of their own.
      out += byte < 0x80 && IsControl(byte) ? '?' : static_cast<char>(byte);
    }
  }
  return out;
}

// `text` as literal text inside notification markup: & < > ' " as entities (numeric for the
// apostrophe, which not every server's markup knows by name).
inline std::wstring MarkupEscaped(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    switch (c) {
      case L'&':
        out += L"&amp;";
        break;
      case L'<':
        out += L"&lt;";
        break;
      case L'>':
        out += L"&gt;";
        break;
      case L'\'':
        out += L"&#39;";
        break;
      case L'"':
        out += L"&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace plumet_text
