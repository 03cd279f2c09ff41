// Request signature: HMAC-SHA1 checked against the openssl command, the signed text, the Date text.

#include "dorvic/src/signing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "dorvic/src/text.h"

namespace dorvic {
namespace {

std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

// Base64 HMAC-SHA1 as the openssl command computes it.
std::string OpensslHmac(const std::string& key, const std::string& message) {
  char path[] = "/tmp/dorvic_hmac_XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  std::ofstream(path, std::ios::binary) << message;
  close(fd);
  const std::string key_arg = key.empty() ? "-hmac ''" : "-mac HMAC -macopt hexkey:" + Hex(key);
  const std::string command =
      "openssl dgst -sha1 " + key_arg + " -binary < " + path + " | base64 -w0";
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    pclose(p);
  }
  unlink(path);
  return out;
}

TEST(Signing, HmacMatchesOpenssl) {
  const std::string long_message(5000, 'x');  // beyond any fixed working buffer
  const std::string cases[][2] = {
      {"5e0b7c3a9d21f4e86a0c5b7d3e9f1a24", "list\nMon, 07 Dec 26 13:02:37 GMT\n3\n/docs"},
      {"s\xC3\xA9"
       "cr\xE6\x96\x87",
       "get\nd\n0\n/"},                                      // key beyond ASCII: its UTF-8 bytes
      {std::string(100, 'k'), "revert\nd\n-1\n/a%2Eb?v=7"},  // key longer than one block
      {"", "put\nd\n1\n/x"},
      {"key", long_message},
  };
  for (const auto& c : cases) {
    const std::string expected = OpensslHmac(c[0], c[1]);
    ASSERT_EQ(expected.size(), 28u) << "openssl not usable";
    EXPECT_EQ(HmacSha1Base64(c[0], c[1]), expected) << c[0];
  }
}

TEST(Signing, StringToSignJoinsLowercaseVerbDateMountPath) {
  EXPECT_EQ(StringToSign("LIST", "D", 3, "/docs"), "list\nD\n3\n/docs");
  EXPECT_EQ(StringToSign("REVERT", "D", -2, "/a?v=7"), "revert\nD\n-2\n/a?v=7");
  EXPECT_EQ(StringToSign("GET", "", 0, "/"), "get\n\n0\n/");
}

TEST(Signing, AuthorizationIsTokenColonSignature) {
  const std::string date = "Thu, 01 Jan 70 08:00:00 GMT";
  const std::string value = SignRequest("secret", L"tok\u00e9n", "LIST", date, 3, "/docs");
  const std::string prefix = "tok\xC3\xA9n:";
  ASSERT_EQ(value.size(), prefix.size() + 28);
  EXPECT_EQ(value.substr(0, prefix.size()), prefix);
  EXPECT_EQ(value.back(), '=');
  EXPECT_EQ(value.substr(prefix.size()), OpensslHmac("secret", "list\n" + date + "\n3\n/docs"));
}

class TimeZone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_ = tz;
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void Use(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string saved_;
};

TEST_F(TimeZone, DateIsLocalWallClockWithTwoDigitYear) {
  Use("UTC0");
  EXPECT_EQ(FormatRequestDate(0), "Thu, 01 Jan 70 00:00:00 GMT");
  Use("CST-8");  // eight hours east of Greenwich
  EXPECT_EQ(FormatRequestDate(0), "Thu, 01 Jan 70 08:00:00 GMT");
  EXPECT_EQ(FormatRequestDate(1796562157), "Sun, 06 Dec 26 21:02:37 GMT");
  Use("EST5EDT,M3.2.0,M11.1.0");  // daylight saving applies
  EXPECT_EQ(FormatRequestDate(1783425600), "Tue, 07 Jul 26 08:00:00 GMT");
}

TEST_F(TimeZone, DateIgnoresTheProcessLocale) {
  Use("UTC0");
  const char* previous = setlocale(LC_ALL, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
  setlocale(LC_ALL, "C.UTF-8");
  EXPECT_EQ(FormatRequestDate(86400 * 45), "Sun, 15 Feb 70 00:00:00 GMT");
  setlocale(LC_ALL, saved.c_str());
  EXPECT_FALSE(MakeRequestDate().empty());
}

TEST(Signing, MachineNameIsHostNameCutTo15) {
  char buf[256] = {};
  ASSERT_EQ(gethostname(buf, sizeof(buf) - 1), 0);
  const std::wstring full = FromUtf8(buf);
  const std::wstring name = GetMachineName();
  EXPECT_EQ(name, full.substr(0, 15));
  EXPECT_LE(name.size(), 15u);
}

}  // namespace
}  // namespace dorvic
