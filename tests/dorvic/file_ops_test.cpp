// File operations against the loopback fixture: verb, path, own lines, body, answer reading.

#include <gtest/gtest.h>

#include "dorvic/src/client.h"
#include "dorvic/src/operations.h"
#include "dorvic/src/signing.h"
#include "dorvic/src/text.h"
#include "tests/dorvic/http_fixture.h"
#include "tests/dorvic/request_checks.h"

namespace dorvic_test {
namespace {

using namespace dorvic;

class FileOps : public ::testing::Test {
 protected:
  FileOps() {
    client.SetHost(server.whost());
    client.SetSecret(L"5e0b7c3a9d21f4e86a0c5b7d3e9f1a24");
  }
  RecordedRequest Only() {
    const auto all = server.requests();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? RecordedRequest() : all.front();
  }

  HttpFixture server;
  CdorvicClient client;
};

TEST_F(FileOps, ListSendsControlsAndReadsEntries) {
  server.Script(
      {200, R"({"count": 2, "list": [{"filename": "a"}], "dirs": [{"filename": "b", "dir": 1}]})"});
  int32_t size = 100;
  std::vector<dorvic_file_stx> files(1);
  ASSERT_TRUE(ListFile(client, L"tok", L"docs", 3, 1, 20, size, L"name \u5347\u5e8f", files));
  ExpectRequest(Only(), "LIST", "/docs", 3, L"tok",
                {{"x-zm-dir", "1"},
                 {"x-zm-start", "20"},
                 {"x-zm-size", "100"},
                 {"x-zm-order", "name \xE5\x8D\x87\xE5\xBA\x8F"}});
  EXPECT_EQ(size, 2);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[1].filename, L"a");
  EXPECT_EQ(files[2].filename, L"b");
  EXPECT_EQ(files[2].dir, 1);
}

TEST_F(FileOps, ListFailureKeepsSizeAndFiles) {
  server.Script({403, R"({"error_code": 40300, "error_msg": "no"})"});
  int32_t size = 100;
  std::vector<dorvic_file_stx> files;
  EXPECT_FALSE(ListFile(client, L"tok", L"/", 0, 0, 0, size, L"", files));
  EXPECT_EQ(size, 100);
  EXPECT_TRUE(files.empty());
  std::wstring message;
  EXPECT_EQ(client.GetLastError(&message), 40300);
  EXPECT_EQ(message, L"no");

  server.Script({200, "<html>"});
  EXPECT_TRUE(ListFile(client, L"tok", L"/", 0, 0, 0, size, L"", files));
  EXPECT_EQ(size, 0);  // a 200 answer always sets the count
}

TEST_F(FileOps, UrlIsTheWholeBody) {
  server.Script({200, "http://127.0.0.1:47813/dl/abc?x=1\r\n"});
  std::wstring url = L"before";
  ASSERT_TRUE(GetFileRealUrl(client, L"tok", L"/a b.txt", 2, L"0a1b", url));
  ExpectRequest(Only(), "URL", "/a%20b%2Etxt", 2, L"tok", {{"x-zm-filehash", "0a1b"}});
  EXPECT_EQ(url, L"http://127.0.0.1:47813/dl/abc?x=1\r\n");

  server.Script({404, "{}"});
  EXPECT_FALSE(GetFileRealUrl(client, L"tok", L"/x", 2, L"0a1b", url));
  EXPECT_EQ(url, L"http://127.0.0.1:47813/dl/abc?x=1\r\n");
}

TEST_F(FileOps, AddSendsFullSizeAndMachine) {
  server.Script(
      {200, R"({"state": 0, "hash": "up-7", "version": 3, "server": "http://127.0.0.1:47812"})"});
  dorvic_addfile_ret ret;
  const uint64_t size = 5ULL * 1024 * 1024 * 1024 + 1;
  ASSERT_TRUE(AddFile(client, L"tok", L"/docs/plan.txt", 7, L"da39a3ee", size, 0, ret));
  ExpectRequest(Only(), "PUT", "/docs/plan%2Etxt", 7, L"tok",
                {{"x-zm-filehash", "da39a3ee"},
                 {"x-zm-filesize", "5368709121"},
                 {"x-zm-version", "0"},
                 {"x-zm-machine", ToUtf8(GetMachineName())}});
  EXPECT_EQ(ret.state, 0);
  EXPECT_EQ(ret.hash, L"up-7");
  EXPECT_EQ(ret.version, 3);
  EXPECT_EQ(ret.server, L"http://127.0.0.1:47812");
}

TEST_F(FileOps, DeleteReadsVersion) {
  server.Script({200, R"({"version": 12})"});
  int32_t version = -1;
  ASSERT_TRUE(DelFile(client, L"tok", L"/old.txt", 1, version));
  ExpectRequest(Only(), "DELETE", "/old%2Etxt", 1, L"tok",
                {{"x-zm-machine", ToUtf8(GetMachineName())}});
  EXPECT_EQ(version, 12);
}

TEST_F(FileOps, RenameEscapesTheWholeNewName) {
  server.Script({200, R"({"version": 2})"});
  int32_t version = 0;
  ASSERT_TRUE(RenameFile(client, L"tok", L"/d/x", 1, L"a b/c.txt", version));
  ExpectRequest(Only(), "RENAME", "/d/x", 1, L"tok",
                {{"x-zm-newname", "a%20b%2Fc%2Etxt"}, {"x-zm-machine", ToUtf8(GetMachineName())}});
  EXPECT_EQ(version, 2);
}

TEST_F(FileOps, RegetWorkedExample) {
  server.Script({200, R"({"filehash": "0123456789abcdef0123456789abcdef01234567",
                          "filesize": 3221225472, "dir": 0,
                          "uri": "http://127.0.0.1:47813/dl/plan"})"});
  dorvic_file_reget file;
  file.ext = L"caller";
  ASSERT_TRUE(RegetFile(client, L"tok", L"/docs/plan.txt", 7, file));
  const RecordedRequest r = Only();
  ExpectRequest(r, "GET", "/docs/plan%2Etxt", 7, L"tok", {});
  EXPECT_EQ(r.Header("Authorization"),
            "tok:" + HmacSha1Base64(dorvic_test::kSecret,
                                    "get\n" + r.Header("Date") + "\n7\n/docs/plan%2Etxt"));
  EXPECT_EQ(file.filehash, L"0123456789abcdef0123456789abcdef01234567");
  EXPECT_EQ(file.filesize, 3221225472LL);
  EXPECT_EQ(file.dir, L"0");
  EXPECT_EQ(file.uri, L"http://127.0.0.1:47813/dl/plan");
  EXPECT_EQ(file.ext, L"caller");
}

TEST_F(FileOps, LongHeaderLinesGoOutWhole) {
  const std::wstring order(3000, L'z');
  int32_t size = 1;
  std::vector<dorvic_file_stx> files;
  ASSERT_TRUE(ListFile(client, L"tok", std::wstring(2000, L'p'), 0, 0, 0, size, order, files));
  const RecordedRequest r = Only();
  EXPECT_EQ(r.Header("x-zm-order"), std::string(3000, 'z'));
  EXPECT_EQ(r.target, "/" + std::string(2000, 'p'));
  EXPECT_EQ(r.Header("Authorization"),
            SignRequest(kSecret, L"tok", "LIST", r.Header("Date"), 0, r.target));
}

TEST_F(FileOps, NonAsciiSecretSignsWithUtf8) {
  client.SetSecret(L"s\u00e9cr\U0001F511");
  int32_t version = 0;
  ASSERT_TRUE(DelFile(client, L"tok", L"/f", 4, version));
  ExpectRequest(Only(), "DELETE", "/f", 4, L"tok", {{"x-zm-machine", ToUtf8(GetMachineName())}},
                "s\xC3\xA9"
                "cr\xF0\x9F\x94\x91");
}

}  // namespace
}  // namespace dorvic_test
