// The one UTF-8 codec of the client side, both directions.

#include "common/text_utf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace plumet_text {
namespace {

std::wstring Units(std::initializer_list<int64_t> units) {
  std::wstring text;
  for (int64_t u : units) text.push_back(static_cast<wchar_t>(u));
  return text;
}

TEST(Utf8, EncodesAndDecodesEveryForm) {
  const std::string replacement = "\xEF\xBF\xBD";
  const std::wstring r(1, static_cast<wchar_t>(0xFFFD));
  enum Direction { kEncode, kDecode };
  struct Case {
    Direction direction;
    std::wstring text;
    std::string bytes;
  } cases[] = {
      // Every plane.
      {kEncode, L"abc", "abc"},
      {kEncode, L"\u00e9", "\xC3\xA9"},
      {kEncode, L"\u6587\u4ef6", "\xE6\x96\x87\xE4\xBB\xB6"},
      {kEncode, L"\U0001F600", "\xF0\x9F\x98\x80"},
      {kEncode, L"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
      {kEncode, L"", ""},
      {kEncode, L"a\u00e9\u6587\U0001F600", "a\xC3\xA9\xE6\x96\x87\xF0\x9F\x98\x80"},
      {kDecode, L"abc", "abc"},
      {kDecode, L"\u00e9", "\xC3\xA9"},
      {kDecode, L"\u6587\u4ef6", "\xE6\x96\x87\xE4\xBB\xB6"},
      {kDecode, L"\U0001F600", "\xF0\x9F\x98\x80"},
      {kDecode, L"", ""},
      // Both directions end at the first NUL.
      {kEncode, std::wstring(L"ab\0cd", 5), "ab"},
      {kDecode, L"ab", std::string("ab\0cd", 5)},
      // Code points UTF-8 cannot carry (lone surrogate, beyond Unicode, negative) become U+FFFD.
      {kEncode, Units({0xD800, 0x110000, -5}), replacement + replacement + replacement},
      // Every malformed sequence becomes one U+FFFD.
      {kDecode, r, "\x80"},                          // stray continuation byte
      {kDecode, r + r, "\xC0\xAF"},                  // overlong form
      {kDecode, r + r + r, "\xED\xA0\x80"},          // encoded surrogate
      {kDecode, r + r + r + r, "\xF4\x90\x80\x80"},  // above U+10FFFF
      {kDecode, L"a" + r, "a\xE6\x96"},              // cut-off sequence
      {kDecode, r + L"z", "\xE6\x96z"},              // the byte after a broken sequence stays
  };
  for (const Case& c : cases) {
    if (c.direction == kEncode) {
      EXPECT_EQ(ToUtf8(c.text), c.bytes) << testing::PrintToString(c.text);
    } else {
      EXPECT_EQ(FromUtf8(c.bytes), c.text) << testing::PrintToString(c.bytes);
    }
  }
}

TEST(Utf8, RoundTripsAllScalarValuesSampled) {
  for (uint32_t cp = 1; cp <= 0x10FFFF; cp += 97) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::wstring text(1, static_cast<wchar_t>(cp));
    ASSERT_EQ(FromUtf8(ToUtf8(text)), text) << cp;
  }
}

}  // namespace
}  // namespace plumet_text
