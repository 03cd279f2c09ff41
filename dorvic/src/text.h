#pragma once
// Text conversions of the library: std::wstring holds UTF-32 code points, the wire carries UTF-8.

#include <string>

namespace dorvic {

// UTF-32 text to UTF-8 bytes, ending at the first NUL. Code points that UTF-8 cannot carry
// (surrogates, values above U+10FFFF) become U+FFFD.
std::string ToUtf8(const std::wstring& text);

// UTF-8 bytes to UTF-32 text, ending at the first NUL byte. Every malformed sequence (bad lead or
// continuation byte, overlong form, surrogate, value above U+10FFFF, cut-off end) becomes one U+FFFD.
std::wstring FromUtf8(const std::string& bytes);

// Every byte that is not an ASCII letter or digit becomes "%" and two uppercase hex digits.
std::string UrlEncode(const std::string& bytes);

// Request path of a remote path: "/" then the UrlEncode'd segments joined by "/", with a trailing
// "/" exactly when the remote path had one. Empty segments vanish; "" and "///" both give "/".
std::string EncodePath(const std::wstring& path);

}  // namespace dorvic
