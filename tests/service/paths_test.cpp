// Request paths can never leave their mount: decoding and normalisation refuse every trick.
#include "service/store/paths.h"

#include <gtest/gtest.h>

namespace zelmic {
namespace {

std::string Decode(const std::string& raw, bool* folder = nullptr) {
  std::string path;
  bool trailing = false;
  if (!DecodeRequestPath(raw, path, trailing).ok()) return "ERR";
  if (folder) *folder = trailing;
  return path;
}

TEST(DecodeRequestPath, DecodesWhatClientsEncode) {
  EXPECT_EQ(Decode("/docs/a%20b%2Etxt"), "/docs/a b.txt");
  EXPECT_EQ(Decode("/"), "/");
  EXPECT_EQ(Decode("/a//b"), "/a/b");
  EXPECT_EQ(Decode("/%E4%B8%AD%E6%96%87"), "/\xE4\xB8\xAD\xE6\x96\x87");
  bool folder = false;
  EXPECT_EQ(Decode("/docs/", &folder), "/docs");
  EXPECT_TRUE(folder);
  EXPECT_EQ(Decode("/docs", &folder), "/docs");
  EXPECT_FALSE(folder);
}

TEST(DecodeRequestPath, RefusesEscapesOutOfTheMount) {
  for (const char* raw :
       {"/..", "/a/../../etc", "/a/%2E%2E/b", "/%2e%2e", "/a/./b", "/%2E", "/a%2F..%2Fb", "/a%2fb",
        "/a%00b", "/a%0Ab", "/%7F", "/a%", "/a%4", "/a%zz", "relative", "", "/%C0%AF", "/%FF"}) {
    EXPECT_EQ(Decode(raw), "ERR") << raw;
  }
}

TEST(DecodeRequestPath, RefusesOverlongPaths) {
  EXPECT_EQ(Decode("/" + std::string(256, 'a')), "ERR");
  std::string deep;
  for (int i = 0; i < 2000; ++i) deep += "/abc";
  EXPECT_EQ(Decode(deep), "ERR");
  EXPECT_EQ(Decode("/" + std::string(255, 'a')), "/" + std::string(255, 'a'));
}

TEST(NormalisePath, PlainPathsFollowTheSameRules) {
  std::string path;
  ASSERT_TRUE(NormalisePath("docs//plan.txt/", path).ok());
  EXPECT_EQ(path, "/docs/plan.txt");
  EXPECT_FALSE(NormalisePath("docs/../x", path).ok());
  EXPECT_FALSE(NormalisePath(std::string("a\0b", 3), path).ok());
  ASSERT_TRUE(ResolvePath("/docs", "new name.txt", path).ok());
  EXPECT_EQ(path, "/docs/new name.txt");
  ASSERT_TRUE(ResolvePath("/docs", "/other/x", path).ok());
  EXPECT_EQ(path, "/other/x");
  EXPECT_FALSE(ResolvePath("/docs", "../../x", path).ok());
}

TEST(PathParts, NamesParentsAndContainment) {
  EXPECT_EQ(ParentOf("/a/b/c.txt"), "/a/b");
  EXPECT_EQ(ParentOf("/a"), "/");
  EXPECT_EQ(NameOf("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(ExtOf("c.tar.gz"), "gz");
  EXPECT_EQ(ExtOf(".profile"), "");
  EXPECT_TRUE(IsInside("/a/b", "/a"));
  EXPECT_FALSE(IsInside("/ab", "/a"));
  EXPECT_FALSE(IsInside("/a", "/a"));
  EXPECT_TRUE(IsInside("/a", "/"));
}

}  // namespace
}  // namespace zelmic
