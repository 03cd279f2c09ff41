#include "service/store/unicode_names.h"

#include <QString>

namespace zelmic {

std::string ComposedUtf8(const std::string& utf8) {
  // Plain ASCII is already composed; most names are, and skip the conversion.
  bool ascii = true;
  for (unsigned char c : utf8) ascii = ascii && c < 0x80;
  if (ascii) return utf8;
  const QByteArray composed = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()))
                                  .normalized(QString::NormalizationForm_C)
                                  .toUtf8();
  return std::string(composed.constData(), static_cast<size_t>(composed.size()));
}

namespace {

// The length of the bidirectional formatting character at utf8[i], 0 when there is none there.
// In UTF-8: U+061C is D8 9C; U+200E/U+200F are E2 80 8E/8F; U+202A..U+202E are E2 80 AA..AE;
// U+2066..U+2069 are E2 81 A6..A9.
size_t BidiControlAt(const std::string& utf8, size_t i) {
  if (i + 1 >= utf8.size()) return 0;
  const auto b0 = static_cast<unsigned char>(utf8[i]);
  const auto b1 = static_cast<unsigned char>(utf8[i + 1]);
  if (b0 == 0xD8 && b1 == 0x9C) return 2;
  if (b0 != 0xE2 || i + 2 >= utf8.size()) return 0;
  const auto b2 = static_cast<unsigned char>(utf8[i + 2]);
  if (b1 == 0x80 && (b2 == 0x8E || b2 == 0x8F || (b2 >= 0xAA && b2 <= 0xAE))) return 3;
  if (b1 == 0x81 && b2 >= 0xA6 && b2 <= 0xA9) return 3;
  return 0;
}

}  // namespace

bool HasBidiControl(const std::string& utf8) {
  for (size_t i = 0; i < utf8.size(); ++i)
    if (BidiControlAt(utf8, i) > 0) return true;
  return false;
}

std::string ReplaceBidiControls(const std::string& utf8, const std::string& with) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const size_t n = BidiControlAt(utf8, i);
    if (n == 0) out += utf8[i];
    if (n > 0) out += with;
    i += n == 0 ? 1 : n;
  }
  return out;
}

}  // namespace zelmic
