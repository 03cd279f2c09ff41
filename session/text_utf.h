#pragma once
// UTF-16/32 text of the records against UTF-8 on the wire and in file names. Conversion stops at
// the first NUL, as the records' texts end there.

#include <string>

namespace plumet {

std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& bytes);

}  // namespace plumet
