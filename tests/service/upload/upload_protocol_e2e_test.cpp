// The upload protocol against a real zelmicd: registered through the signed REST "PUT", uploaded
// to the server it names, read back through the REST "GET" and the download location.

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/service/upload/fake_backend.h"
#include "tests/service/upload/upload_test_client.h"
#include "tests/support/zelmic_process.h"

namespace {

using zelmic_test::RandomBytes;
using zelmic_test::Reply;
using zelmic_test::UploadTestClient;
using zelmic_test::ZelmicProcess;

constexpr uint64_t kPart = 32768;
constexpr int kMount = 1;

std::string JsonText(const std::string& body, const char* name) {
  cJSON* root = cJSON_ParseWithLength(body.data(), body.size());
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, name);
  std::string out = cJSON_IsString(item) ? item->valuestring : "";
  cJSON_Delete(root);
  return out;
}

class UploadE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    refresh_ = z_.AddUser("ann", {kMount});
    ASSERT_FALSE(refresh_.empty());
  }

  void StartServer() {
    ASSERT_TRUE(z_.Start({"--faults"}));
    token_ = z_.AccessToken(refresh_);
    ASSERT_FALSE(token_.empty());
  }

  // Seeds content as the current version of remote_path (before the server starts).
  void Seed(const std::string& remote_path, const std::string& content) {
    const std::string local = z_.tmp_dir() + "/seed";
    ASSERT_TRUE(zelmic_test::WriteFile(local, content));
    z_.Put(kMount, local, remote_path);
  }

  // dorvic_add_file's request: registers content for remote_path; returns the pathhash.
  std::string Register(const std::string& remote_path, const std::string& content) {
    auto r = zelmic_test::SignedRequest(z_.api_host(), token_, "PUT", kMount, remote_path,
                                        {"x-zm-filehash: " + zelmic_test::Sha1Hex(content),
                                         "x-zm-filesize: " + std::to_string(content.size()),
                                         "x-zm-version: 0", "x-zm-machine: testbox"});
    EXPECT_EQ(r.status, 200) << r.body;
    const std::string server = JsonText(r.body, "server");
    EXPECT_EQ(server, "http://127.0.0.1:" + std::to_string(z_.upload_port()));
    return JsonText(r.body, "hash");
  }

  // What the service now serves for remote_path: its recorded hash and downloaded bytes.
  void ExpectCurrent(const std::string& remote_path, const std::string& content) {
    auto r = zelmic_test::SignedRequest(z_.api_host(), token_, "GET", kMount, remote_path);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(JsonText(r.body, "filehash"), zelmic_test::Sha1Hex(content));
    auto download = zelmic_test::HttpRequest("GET", JsonText(r.body, "uri"));
    ASSERT_EQ(download.status, 200);
    EXPECT_TRUE(download.body == content) << "downloaded " << download.body.size() << " bytes";
  }

  void SendParts(UploadTestClient& client, const std::string& session, const std::string& content,
                 uint64_t from) {
    for (uint64_t at = from; at < content.size(); at += kPart) {
      Reply reply = client.Part(session, content, at, std::min(kPart, content.size() - at));
      ASSERT_EQ(reply.status, 200) << reply.body;
      ASSERT_TRUE(reply.identified());
    }
  }

  ZelmicProcess z_;
  std::string refresh_;
  std::string token_;
};

TEST_F(UploadE2eTest, NewFileIsUploadedWholeAndServedBack) {
  StartServer();
  const std::string content = RandomBytes(3 * kPart + 99, 50);
  const std::string pathhash = Register("/docs/new", content);
  ASSERT_FALSE(pathhash.empty());
  UploadTestClient client(z_.upload_port());
  std::string session;
  long piecelen = -1;
  ASSERT_EQ(
      client
          .Init(token_, pathhash, zelmic_test::Sha1Hex(content), content.size(), session, piecelen)
          .status,
      200);
  EXPECT_EQ(piecelen, 0);
  EXPECT_EQ(client.Req(session).body, "0");
  SendParts(client, session, content, 0);
  Reply finish = client.Finish(session, content.size());
  ASSERT_EQ(finish.status, 200) << finish.body;
  EXPECT_TRUE(finish.identified());
  ExpectCurrent("/docs/new", content);
}

TEST_F(UploadE2eTest, EditedFileTravelsAsADeltaAndIsRebuiltExactly) {
  const std::string stored = RandomBytes(12 * 4096 + 500, 51);
  Seed("/docs/report", stored);
  StartServer();
  std::string edited = stored.substr(0, 30000) + "inserted text" + stored.substr(30000);
  edited[100] = static_cast<char>(edited[100] ^ 1);
  const std::string pathhash = Register("/docs/report", edited);
  UploadTestClient client(z_.upload_port());
  std::string session;
  long piecelen = 0;
  ASSERT_EQ(
      client.Init(token_, pathhash, zelmic_test::Sha1Hex(edited), edited.size(), session, piecelen)
          .status,
      200);
  ASSERT_EQ(piecelen, 4096);
  Reply checksums = client.DownloadChecksum(session);
  ASSERT_EQ(checksums.status, 200);
  std::string match_list;
  std::string literal;
  ASSERT_TRUE(zelmic_test::ReferenceDelta(checksums.body, 4096, edited, match_list, literal));
  ASSERT_GE(match_list.size() / 10, 9u);
  ASSERT_EQ(client.ChecksumResult(session, match_list).status, 200);
  SendParts(client, session, literal, 0);
  ASSERT_EQ(client.Finish(session, literal.size()).status, 200);
  ExpectCurrent("/docs/report", edited);
}

TEST_F(UploadE2eTest, DroppedPartIsResumedFromTheHeldCount) {
  StartServer();
  const std::string content = RandomBytes(4 * kPart, 55);
  const std::string pathhash = Register("/docs/resumed", content);
  std::string session;
  long piecelen = 0;
  {
    UploadTestClient client(z_.upload_port());
    ASSERT_EQ(client
                  .Init(token_, pathhash, zelmic_test::Sha1Hex(content), content.size(), session,
                        piecelen)
                  .status,
              200);
    ASSERT_EQ(client.Part(session, content, 0, kPart).status, 200);
    ASSERT_TRUE(z_.Script(R"({"endpoint": "/upload_part", "kind": "drop"})"));
    EXPECT_EQ(client.Part(session, content, kPart, kPart).status, 0) << "the connection is dropped";
  }
  // A new connection: "/upload_init" finds the session again and "/upload_req" says where to go on.
  UploadTestClient client(z_.upload_port());
  std::string again;
  ASSERT_EQ(
      client.Init(token_, pathhash, zelmic_test::Sha1Hex(content), content.size(), again, piecelen)
          .status,
      200);
  EXPECT_EQ(again, session);
  Reply held = client.Req(session);
  ASSERT_EQ(held.body, std::to_string(kPart));
  SendParts(client, session, content, kPart);
  ASSERT_EQ(client.Finish(session, content.size()).status, 200);
  ExpectCurrent("/docs/resumed", content);
}

TEST_F(UploadE2eTest, KillDuringAnUploadKeepsThePreviousVersion) {
  const std::string stored = RandomBytes(50000, 52);
  Seed("/docs/keep", stored);
  StartServer();
  const std::string edited = RandomBytes(5 * kPart, 53);
  const std::string pathhash = Register("/docs/keep", edited);
  {
    UploadTestClient client(z_.upload_port());
    std::string session;
    long piecelen = 0;
    ASSERT_EQ(
        client
            .Init(token_, pathhash, zelmic_test::Sha1Hex(edited), edited.size(), session, piecelen)
            .status,
        200);
    ASSERT_EQ(client.Part(session, edited, 0, kPart).status, 200);
    ASSERT_EQ(client.Part(session, edited, kPart, kPart).status, 200);
  }
  z_.Kill9();
  StartServer();
  ExpectCurrent("/docs/keep", stored);

  // The registration survived; the session did not: the upload starts again from 0.
  UploadTestClient client(z_.upload_port());
  std::string session;
  long piecelen = 0;
  ASSERT_EQ(
      client.Init(token_, pathhash, zelmic_test::Sha1Hex(edited), edited.size(), session, piecelen)
          .status,
      200);
  EXPECT_EQ(client.Req(session).body, "0");
  ASSERT_EQ(client.ChecksumResult(session, "").status, 200);  // a delta with nothing matched
  SendParts(client, session, edited, 0);
  ASSERT_EQ(client.Finish(session, edited.size()).status, 200);
  ExpectCurrent("/docs/keep", edited);
}

TEST_F(UploadE2eTest, ScriptedFaultIsServedOnceThenTheRealAnswer) {
  StartServer();
  const std::string content = RandomBytes(kPart, 54);
  const std::string pathhash = Register("/docs/faulty", content);
  UploadTestClient client(z_.upload_port());
  std::string session;
  long piecelen = 0;
  ASSERT_EQ(
      client
          .Init(token_, pathhash, zelmic_test::Sha1Hex(content), content.size(), session, piecelen)
          .status,
      200);
  ASSERT_TRUE(z_.Script(R"({"endpoint": "/upload_req", "kind": "status", "status": 401})"));
  EXPECT_EQ(client.Req(session).status, 401);
  Reply real = client.Req(session);
  EXPECT_EQ(real.status, 200);
  EXPECT_EQ(real.body, "0");
  SendParts(client, session, content, 0);
  ASSERT_EQ(client.Finish(session, content.size()).status, 200);
  ExpectCurrent("/docs/faulty", content);
}

}  // namespace
