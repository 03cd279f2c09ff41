// UTF-8 conversions, percent-encoding and request paths.

#include "dorvic/src/text.h"

#include <gtest/gtest.h>

namespace dorvic {
namespace {

TEST(Utf8, EncodesEveryPlane) {
  EXPECT_EQ(ToUtf8(L"abc"), "abc");
  EXPECT_EQ(ToUtf8(L"\u00e9"), "\xC3\xA9");
  EXPECT_EQ(ToUtf8(L"\u6587\u4ef6"), "\xE6\x96\x87\xE4\xBB\xB6");
  EXPECT_EQ(ToUtf8(L"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(ToUtf8(L"\U0010FFFF"), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(ToUtf8(L""), "");
}

TEST(Utf8, EncodingEndsAtFirstNul) {
  std::wstring text = L"ab";
  text.push_back(L'\0');
  text += L"cd";
  EXPECT_EQ(ToUtf8(text), "ab");
}

TEST(Utf8, UnencodableCodePointsBecomeReplacement) {
  std::wstring text;
  text.push_back(static_cast<wchar_t>(0xD800));   // lone surrogate
  text.push_back(static_cast<wchar_t>(0x110000));  // beyond Unicode
  text.push_back(static_cast<wchar_t>(-5));
  EXPECT_EQ(ToUtf8(text), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8, DecodesEveryPlane) {
  EXPECT_EQ(FromUtf8("abc"), L"abc");
  EXPECT_EQ(FromUtf8("\xC3\xA9"), L"\u00e9");
  EXPECT_EQ(FromUtf8("\xE6\x96\x87\xE4\xBB\xB6"), L"\u6587\u4ef6");
  EXPECT_EQ(FromUtf8("\xF0\x9F\x98\x80"), L"\U0001F600");
  EXPECT_EQ(FromUtf8(""), L"");
}

TEST(Utf8, DecodingEndsAtFirstNul) {
  EXPECT_EQ(FromUtf8(std::string("ab\0cd", 5)), L"ab");
}

TEST(Utf8, MalformedInputBecomesReplacement) {
  const std::wstring r(1, static_cast<wchar_t>(0xFFFD));
  EXPECT_EQ(FromUtf8("\x80"), r);                       // stray continuation byte
  EXPECT_EQ(FromUtf8("\xC0\xAF"), r + r);               // overlong form
  EXPECT_EQ(FromUtf8("\xED\xA0\x80"), r + r + r);       // encoded surrogate
  EXPECT_EQ(FromUtf8("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
  EXPECT_EQ(FromUtf8("a\xE6\x96"), L"a" + r);           // cut-off sequence
  EXPECT_EQ(FromUtf8("\xE6\x96z"), r + L"z");           // the byte after a broken sequence stays
}

TEST(Utf8, RoundTripsAllScalarValuesSampled) {
  for (uint32_t cp = 1; cp <= 0x10FFFF; cp += 97) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::wstring text(1, static_cast<wchar_t>(cp));
    ASSERT_EQ(FromUtf8(ToUtf8(text)), text) << cp;
  }
}

TEST(UrlEncode, KeepsOnlyLettersAndDigits) {
  EXPECT_EQ(UrlEncode("azAZ09"), "azAZ09");
  EXPECT_EQ(UrlEncode("-._~/ "), "%2D%2E%5F%7E%2F%20");
  EXPECT_EQ(UrlEncode("a@b|c"), "a%40b%7Cc");
  EXPECT_EQ(UrlEncode("\xE6\x96\x87\xff"), "%E6%96%87%FF");
  EXPECT_EQ(UrlEncode(std::string("\0", 1)), "%00");
  EXPECT_EQ(UrlEncode(""), "");
}

TEST(EncodePath, SegmentsAreEscapedAndSlashesKept) {
  EXPECT_EQ(EncodePath(L"docs/a b.txt"), "/docs/a%20b%2Etxt");
  EXPECT_EQ(EncodePath(L"/docs/"), "/docs/");
  EXPECT_EQ(EncodePath(L"a//b"), "/a/b");
  EXPECT_EQ(EncodePath(L""), "/");
  EXPECT_EQ(EncodePath(L"///"), "/");
  EXPECT_EQ(EncodePath(L"/docs/plan.txt"), "/docs/plan%2Etxt");
}

TEST(EncodePath, DotSegmentsAndUrlMarksCannotEscapeThePath) {
  EXPECT_EQ(EncodePath(L"/a/../b"), "/a/%2E%2E/b");
  EXPECT_EQ(EncodePath(L"/what?.txt"), "/what%3F%2Etxt");
  EXPECT_EQ(EncodePath(L"/x#y"), "/x%23y");
}

TEST(EncodePath, NonAsciiSegmentsUseUtf8Bytes) {
  EXPECT_EQ(EncodePath(L"/\u6587\u4ef6/\U0001F600"), "/%E6%96%87%E4%BB%B6/%F0%9F%98%80");
}

}  // namespace
}  // namespace dorvic
