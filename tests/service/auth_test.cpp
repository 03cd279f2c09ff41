// Signatures and Date texts as the REST clients produce them.
#include "service/http/auth.h"

#include <gtest/gtest.h>

#include "service/web/launch_url.h"

namespace zelmic {
namespace {

TEST(Signature, MatchesAKnownHmacSha1) {
  // Reference value computed independently: Base64(HMAC-SHA1(secret,
  // "list\nMon, 07 Dec 26 14:05:09 GMT\n3\n/docs")).
  const std::string sig = ComputeSignature("5e0b7c3a9d21f4e86a0c5b7d3e9f1a24", "LIST",
                                           "Mon, 07 Dec 26 14:05:09 GMT", 3, "/docs");
  EXPECT_EQ(sig, "LDhZE2lsPOghHkmXTUwRA6D3sMk=");
  // Lowercasing the verb happens inside: "LIST" and "list" sign alike, other verbs do not.
  EXPECT_EQ(sig, ComputeSignature("5e0b7c3a9d21f4e86a0c5b7d3e9f1a24", "list",
                                  "Mon, 07 Dec 26 14:05:09 GMT", 3, "/docs"));
  EXPECT_NE(sig, ComputeSignature("5e0b7c3a9d21f4e86a0c5b7d3e9f1a24", "LIST",
                                  "Mon, 07 Dec 26 14:05:09 GMT", 3, "/docs/"));
  EXPECT_NE(sig, ComputeSignature("5e0b7c3a9d21f4e86a0c5b7d3e9f1a24", "LIST",
                                  "Mon, 07 Dec 26 14:05:09 GMT", -3, "/docs"));
}

TEST(Signature, Base64OfKnownDigest) {
  EXPECT_EQ(Base64Encode(std::string("\xde\x7c\x9b\x85\xb8\xb7\x8a\xa6\xbc\x8a\x7a\x36\xf7\x0a\x90"
                                     "\x70\x1c\x9d\xb4\xd9",
                                     20)),
            "3nybhbi3iqa8ino29wqQcBydtNk=");
}

TEST(Authorization, SplitsAtTheLastColon) {
  std::string token, sig;
  ASSERT_TRUE(SplitAuthorization("abc:def:ghi=", token, sig));
  EXPECT_EQ(token, "abc:def");
  EXPECT_EQ(sig, "ghi=");
  EXPECT_FALSE(SplitAuthorization("nocolon", token, sig));
  EXPECT_FALSE(SplitAuthorization(":sig", token, sig));
  EXPECT_FALSE(SplitAuthorization("token:", token, sig));
}

TEST(RequestDate, ParsesTheClientFormOnly) {
  time_t wall = 0;
  ASSERT_TRUE(ParseRequestDate("Mon, 07 Dec 26 14:05:09 GMT", wall));
  EXPECT_EQ(wall, 1796652309);  // 2026-12-07 14:05:09 read as UTC
  for (const char* bad : {"", "yesterday", "Mon, 07 Dec 2026 14:05:09", "Mon, 07 Dec 26 14:05:09",
                          "Mon, 07 Dec 26 14:05:09 GMT trailing", "Mon, 32 Dec 26 14:05:09 GMT",
                          "Mon, 07 Foo 26 14:05:09 GMT", "Mon, 07 Dec 26 25:05:09 GMT"}) {
    EXPECT_FALSE(ParseRequestDate(bad, wall)) << bad;
  }
}

TEST(RequestDate, AcceptsEveryTimeZoneButNotStaleDates) {
  const time_t now = 1796652309;
  EXPECT_TRUE(DatePlausible(now, now));
  EXPECT_TRUE(DatePlausible(now + 14 * 3600, now));  // UTC+14
  EXPECT_TRUE(DatePlausible(now - 12 * 3600, now));  // UTC-12
  EXPECT_FALSE(DatePlausible(now + 15 * 3600, now));
  EXPECT_FALSE(DatePlausible(now - 13 * 3600, now));
  EXPECT_FALSE(DatePlausible(now - 86400 * 30, now));
}

TEST(LaunchUrl, EncodesMountPathAndToken) {
  // base64("7|/docs/plan.txt|tok") = "N3wvZG9jcy9wbGFuLnR4dHx0b2s="
  EXPECT_EQ(MakeLaunchUrl(7, "/docs/plan.txt", "tok"), "plumet://N3wvZG9jcy9wbGFuLnR4dHx0b2s=/");
}

}  // namespace
}  // namespace zelmic
