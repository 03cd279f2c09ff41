#include "app/launch_argument.h"

#include <cstdio>
#include <cstring>

#include "app/handoff_block.h"

namespace plumet {
namespace {

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(const char* s) {
  std::u16string out;
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  while (*p != 0) {
    uint32_t cp = *p;
    int extra = 0;
    if (cp >= 0xF0 && cp < 0xF8) {
      cp &= 0x07;
      extra = 3;
    } else if (cp >= 0xE0) {
      cp &= 0x0F;
      extra = 2;
    } else if (cp >= 0xC2 && cp < 0xE0) {
      cp &= 0x1F;
      extra = 1;
    } else if (cp >= 0x80) {
      out.push_back(0xFFFD);
      ++p;
      continue;
    }
    ++p;
    bool ok = true;
    for (int i = 0; i < extra; ++i) {
      if ((*p & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (*p & 0x3F);
      ++p;
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

}  // namespace

std::u16string TakeLaunchArgument(int& argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    if (arg[0] == '-' || arg[0] == '/') continue;
    std::u16string text = Utf8ToUtf16(arg);
    std::memset(arg, 0, std::strlen(arg));
    for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
    argv[--argc] = nullptr;
    if (text.size() > kHandoffMaxTextUnits) {
      // Refused whole, on first and later starts alike: a cut link must never pass for another.
      std::fprintf(stderr, "plumet: a link of more than %zu characters is refused\n",
                   kHandoffMaxTextUnits);
      return {};
    }
    return text;
  }
  return {};
}

}  // namespace plumet
