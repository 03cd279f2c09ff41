#pragma once
// The one UTF-8 codec of the client side. std::wstring holds UTF-32 code points (the records, the
// REST library's texts); the wire, file names and logs carry UTF-8. Both directions end at the
// first NUL, as the records' texts end there.

#include <string>

namespace plumet_text {

// UTF-32 text to UTF-8 bytes, ending at the first NUL. Code points that UTF-8 cannot carry
// (surrogates, values above U+10FFFF, negative wchar_t) become U+FFFD.
std::string ToUtf8(const std::wstring& text);

// UTF-8 bytes to UTF-32 text, ending at the first NUL byte. Every malformed sequence (bad lead or
// continuation byte, overlong form, surrogate, value above U+10FFFF, cut-off end) becomes one
// U+FFFD, and decoding goes on at the byte that gave it away.
std::wstring FromUtf8(const std::string& bytes);

}  // namespace plumet_text
