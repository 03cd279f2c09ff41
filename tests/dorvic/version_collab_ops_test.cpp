// Version and collaboration operations against the loopback fixture.

#include <gtest/gtest.h>

#include <climits>

#include "dorvic/src/client.h"
#include "dorvic/src/operations.h"
#include "tests/dorvic/http_fixture.h"
#include "tests/dorvic/request_checks.h"

namespace dorvic_test {
namespace {

using namespace dorvic;

class Ops : public ::testing::Test {
 protected:
  Ops() {
    client.SetHost(server.whost());
    client.SetSecret(L"5e0b7c3a9d21f4e86a0c5b7d3e9f1a24");
  }
  RecordedRequest Last() {
    const auto all = server.requests();
    EXPECT_FALSE(all.empty());
    return all.empty() ? RecordedRequest() : all.back();
  }

  HttpFixture server;
  CdorvicClient client;
};

TEST_F(Ops, CompareSendsBothValuesAndReadsAnswer) {
  server.Script({200, R"({"version": 8, "dateline": 1700000000, "files": [{"filename": "n"}],
                          "gone": [{"filename": "g", "nosync": 1}]})"});
  int32_t version = 0, dateline = 0;
  std::vector<dorvic_file_stx> files(1);
  ASSERT_TRUE(Compare(client, L"tok", L"/d/", 5, version, dateline, files));
  ExpectRequest(Last(), "COMPARE", "/d/", 5, L"tok",
                {{"x-zm-version", "0"}, {"x-zm-dateline", "0"}});
  EXPECT_EQ(version, 8);
  EXPECT_EQ(dateline, 1700000000);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[1].filename, L"n");
  EXPECT_EQ(files[1].nosync, -1);
  EXPECT_EQ(files[2].nosync, 1);

  server.Script({200, R"({"dateline": 5})"});
  ASSERT_TRUE(Compare(client, L"tok", L"/d/", 5, version, dateline, files));
  EXPECT_EQ(Last().Header("x-zm-version"), "8");
  EXPECT_EQ(version, 8);  // no "version" member: the value sent stays
  EXPECT_EQ(dateline, 5);

  server.Script({500, "{}"});
  EXPECT_FALSE(Compare(client, L"tok", L"/d/", 5, version, dateline, files));
  EXPECT_EQ(dateline, 5);
  EXPECT_EQ(files.size(), 3u);
}

TEST_F(Ops, VersionListsObjectMembersInOrder) {
  server.Script(
      {200, R"({"3": {"filesize": "30", "filehash": "h3"}, "2": {"filesize": "20"}, "x": {}})"});
  std::vector<dorvic_file_version> versions;
  ASSERT_TRUE(Versions(client, L"tok", L"/v.doc", 0, versions));
  ExpectRequest(Last(), "VERSION", "/v%2Edoc", 0, L"tok", {});
  ASSERT_EQ(versions.size(), 3u);
  EXPECT_EQ(versions[0].version, 3);
  EXPECT_EQ(versions[0].filesize, 30);
  EXPECT_EQ(versions[0].filehash, L"h3");
  EXPECT_EQ(versions[1].version, 2);
  EXPECT_EQ(versions[2].version, 0);
}

TEST_F(Ops, RevertSignsThePathWithItsQuery) {
  ASSERT_TRUE(Revert(client, L"tok", L"/r.txt", 2, 7));
  // ExpectRequest recomputes the signature over the target as received, query included.
  ExpectRequest(Last(), "REVERT", "/r%2Etxt?v=7", 2, L"tok", {});
  ASSERT_TRUE(Revert(client, L"tok", L"/r.txt", 2, -1));
  EXPECT_EQ(Last().target, "/r%2Etxt?v=-1");
}

TEST_F(Ops, LockSendsBool) {
  ASSERT_TRUE(LockFile(client, L"tok", L"/l", 1, true));
  ExpectRequest(Last(), "LOCK", "/l", 1, L"tok", {{"x-zm-bool", "1"}});
  ASSERT_TRUE(LockFile(client, L"tok", L"/l", 1, false));
  ExpectRequest(Last(), "LOCK", "/l", 1, L"tok", {{"x-zm-bool", "0"}});
  EXPECT_EQ(Last().body, "");
}

TEST_F(Ops, RemarksPostsEscapedMessage) {
  ASSERT_TRUE(Remarks(client, L"tok", L"/f", 1, L"ok @ 100%|\u597d"));
  ExpectRequest(Last(), "REMIND", "/f", 1, L"tok", {{"x-zm-bool", "0"}});
  EXPECT_EQ(Last().body, "message=ok%20%40%20100%25%7C%E5%A5%BD");
  ASSERT_TRUE(Remarks(client, L"tok", L"/f", 1, L""));
  EXPECT_EQ(Last().body, "message=");
}

TEST_F(Ops, RemindPostsAddressesUnescaped) {
  const std::vector<std::wstring> emails = {L"a@b.c", L"d.e@f.g"};
  ASSERT_TRUE(Remind(client, L"tok", L"/f", 1, emails, L"look"));
  ExpectRequest(Last(), "REMIND", "/f", 1, L"tok", {{"x-zm-bool", "1"}});
  EXPECT_EQ(Last().body, "message=look&email=a@b.c,d.e@f.g");
  ASSERT_TRUE(Remind(client, L"tok", L"/f", 1, {}, L"x y"));
  EXPECT_EQ(Last().body, "message=x%20y&email=");
}

TEST_F(Ops, ShareMarksEveryAddress) {
  ASSERT_TRUE(Share(client, L"tok", L"/s", 3, {L"a@b.c"}, L"a@b|c"));
  ExpectRequest(Last(), "SHARE", "/s", 3, L"tok", {});
  EXPECT_EQ(Last().body, "message=a%40b%7Cc&email=a@b.c|1");
  ASSERT_TRUE(Share(client, L"tok", L"/s", 3, {L"x@y", L"\u00fc@z"}, L""));
  EXPECT_EQ(Last().body, "message=&email=x@y|1,\xC3\xBC@z|1");
}

TEST_F(Ops, DiscussAppendsMessages) {
  server.Script({200, R"([{"text": "t1", "member_name": "m", "lasttime": 9}, {"text": "t2"}])"});
  std::vector<dorvic_remind_msg> messages(1);
  ASSERT_TRUE(Discuss(client, L"tok", L"/f", 1, messages));
  ExpectRequest(Last(), "DISCUSS", "/f", 1, L"tok", {{"x-zm-size", "5"}});
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[1].text, L"t1");
  EXPECT_EQ(messages[1].lasttime, 9);
  EXPECT_EQ(messages[2].lasttime, 0);
}

TEST_F(Ops, PublishBodyOnlyWithLimits) {
  server.Script({200, R"({"url": "http://w/p/1", "day_limit": 0, "download_limit": 0})"});
  std::wstring url;
  uint32_t day = 0, downloads = 0, max = 42;
  ASSERT_TRUE(Publish(client, L"tok", L"/p", 1, url, day, downloads, max));
  ExpectRequest(Last(), "PUBLISH", "/p", 1, L"tok", {});
  EXPECT_EQ(Last().body, "");
  EXPECT_EQ(url, L"http://w/p/1");
  EXPECT_EQ(max, 42u);

  day = 7;
  downloads = 0;
  ASSERT_TRUE(Publish(client, L"tok", L"/p", 1, url, day, downloads, max));
  EXPECT_EQ(Last().body, "day_limit=7&download_limit=0");

  day = 0;
  downloads = 3000000000u;
  server.Script({200, R"({"download_limit": 5, "max_download_limit": 100})"});
  ASSERT_TRUE(Publish(client, L"tok", L"/p", 1, url, day, downloads, max));
  EXPECT_EQ(Last().body, "day_limit=0&download_limit=-1294967296");
  EXPECT_EQ(downloads, 5u);
  EXPECT_EQ(max, 100u);

  server.Script({409, "{}"});
  EXPECT_FALSE(Publish(client, L"tok", L"/p", 1, url, day, downloads, max));
  EXPECT_EQ(url, L"http://w/p/1");
  EXPECT_EQ(max, 100u);
}

}  // namespace
}  // namespace dorvic_test
