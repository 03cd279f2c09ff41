#pragma once
// A running UploadServer over a FakeBackend with a test client, and the steps most tests share.

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "service/upload/upload_server.h"
#include "tests/service/upload/fake_backend.h"
#include "tests/service/upload/upload_test_client.h"

namespace zelmic {

using zelmic_test::RandomBytes;
using zelmic_test::Reply;
using zelmic_test::UploadTestClient;

constexpr uint64_t kPart = 32768;
constexpr char kToken[] = "token-1";
constexpr char kPathhash[] = "pathhash-1";
constexpr char kPath[] = "/docs/a b.txt";

inline std::string JsonString(const std::string& body, const char* name) {
  cJSON* root = cJSON_ParseWithLength(body.data(), body.size());
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, name);
  std::string out = cJSON_IsString(item) ? item->valuestring : "<absent>";
  cJSON_Delete(root);
  return out;
}

inline int JsonInt(const std::string& body, const char* name) {
  cJSON* root = cJSON_ParseWithLength(body.data(), body.size());
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, name);
  int out = cJSON_IsNumber(item) ? item->valueint : -1;
  cJSON_Delete(root);
  return out;
}

class UploadServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const zelmic::Status started = server_.Start(0);
    ASSERT_TRUE(started.ok()) << started.message();
    ASSERT_NE(server_.port(), 0);
    client_ = std::make_unique<UploadTestClient>(server_.port());
  }

  // Registers content and opens its upload session; expects 200.
  std::string Open(const std::string& content, long& piecelen) {
    backend_.Register(kPathhash, kToken, kPath, content);
    std::string session;
    Reply reply = client_->Init(kToken, kPathhash, zelmic_test::Sha1Hex(content), content.size(),
                                session, piecelen);
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(reply.identified());
    EXPECT_EQ(reply.body.front(), '{');
    return session;
  }

  // Sends content[from, end) in parts; every part must be stored.
  void SendParts(const std::string& session, const std::string& content, uint64_t from) {
    for (uint64_t at = from; at < content.size(); at += kPart) {
      Reply reply = client_->Part(session, content, at, std::min(kPart, content.size() - at));
      ASSERT_EQ(reply.status, 200) << "part at " << at << ": " << reply.body;
      ASSERT_TRUE(reply.identified());
    }
  }

  uint64_t Held(const std::string& session) {
    Reply reply = client_->Req(session);
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(reply.identified());
    return std::stoull(reply.body);
  }

  std::string Committed() {
    std::string bytes;
    EXPECT_TRUE(backend_.CurrentBytes(kPath, bytes));
    return bytes;
  }

  zelmic_test::FakeBackend backend_;
  FaultScript faults_;
  ChecksumKeeper keeper_{backend_.root()};
  UploadServer server_{backend_, faults_, keeper_};
  std::unique_ptr<UploadTestClient> client_;
};

}  // namespace zelmic
