#pragma once
// Text forms shared by every program of the system: lowercase hexadecimal for digests and random
// ids, and the percent-encoding used on every wire (only ASCII letters and digits stay as they are;
// every other byte, "-", "_", "." and "~" included, becomes "%" and two uppercase hex digits).

#include <cstddef>
#include <string>
#include <string_view>

namespace plumet_text {

inline std::string HexLower(const unsigned char* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0x0F]);
  }
  return out;
}

inline std::string PercentEncode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    const bool keep = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
    if (keep) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kDigits[b >> 4]);
      out.push_back(kDigits[b & 0x0F]);
    }
  }
  return out;
}

}  // namespace plumet_text
