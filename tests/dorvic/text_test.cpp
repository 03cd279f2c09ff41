// Percent-encoding and request paths (the UTF-8 codec is tested in tests/common/).

#include "dorvic/src/text.h"

#include <gtest/gtest.h>

namespace dorvic {
namespace {

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
