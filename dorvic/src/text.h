#pragma once
// Text conversions of the library: std::wstring holds UTF-32 code points, the wire carries UTF-8.

#include <string>

#include "common/text_utf.h"

namespace dorvic {

using plumet_text::FromUtf8;
using plumet_text::ToUtf8;

// Every byte that is not an ASCII letter or digit becomes "%" and two uppercase hex digits.
std::string UrlEncode(const std::string& bytes);

// Request path of a remote path: "/" then the UrlEncode'd segments joined by "/", with a trailing
// "/" exactly when the remote path had one. Empty segments vanish; "" and "///" both give "/".
std::string EncodePath(const std::wstring& path);

}  // namespace dorvic
