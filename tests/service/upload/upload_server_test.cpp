// The upload server driven over HTTP by a client that sends what the desktop helper sends.

#include <thread>
#include <vector>

#include "tests/service/upload/upload_server_fixture.h"

namespace zelmic {
namespace {

TEST_F(UploadServerTest, WholeUploadCommitsTheExactBytesOverOneConnection) {
  const std::string content = RandomBytes(3 * kPart + 123, 7);
  long piecelen = -1;
  const std::string session = Open(content, piecelen);
  EXPECT_EQ(piecelen, 0) << "no stored version, so no delta";
  EXPECT_GE(session.size(), 32u);
  EXPECT_EQ(Held(session), 0u);
  SendParts(session, content, 0);
  EXPECT_EQ(Held(session), content.size());
  Reply finish = client_->Finish(session, content.size());
  EXPECT_EQ(finish.status, 200) << finish.body;
  EXPECT_TRUE(finish.identified());
  EXPECT_EQ(finish.new_connections, 0) << "the connection must be kept alive";
  EXPECT_EQ(Committed(), content);
  EXPECT_EQ(backend_.commit_count(), 1);
  // The session is over: its id is stale now.
  EXPECT_EQ(client_->Req(session).status, 401);
}

TEST_F(UploadServerTest, InterruptedUploadResumesFromTheHeldCount) {
  const std::string content = RandomBytes(4 * kPart + 1, 8);
  long piecelen = -1;
  const std::string session = Open(content, piecelen);
  ASSERT_EQ(client_->Part(session, content, 0, kPart).status, 200);
  ASSERT_EQ(client_->Part(session, content, kPart, kPart).status, 200);

  // A new connection, as after a lost one: "/upload_init" again finds the same session.
  client_ = std::make_unique<UploadTestClient>(server_.port());
  std::string again;
  Reply init = client_->Init(kToken, kPathhash, zelmic_test::Sha1Hex(content), content.size(),
                             again, piecelen);
  ASSERT_EQ(init.status, 200);
  EXPECT_EQ(again, session);
  const uint64_t held = Held(session);
  ASSERT_EQ(held, 2 * kPart);
  SendParts(session, content, held);
  EXPECT_EQ(client_->Finish(session, content.size()).status, 200);
  EXPECT_EQ(Committed(), content);
}

TEST_F(UploadServerTest, PartsMustStartAtTheHeldCount) {
  const std::string content = RandomBytes(3 * kPart, 9);
  long piecelen = -1;
  const std::string session = Open(content, piecelen);
  ASSERT_EQ(client_->Part(session, content, 0, kPart).status, 200);
  for (uint64_t wrong : {uint64_t{0}, 2 * kPart}) {
    Reply reply = client_->Part(session, content, wrong, kPart);
    EXPECT_EQ(reply.status, 409);
    EXPECT_EQ(JsonInt(reply.body, "error_code"), 40900);
    EXPECT_EQ(JsonString(reply.body, "expect"), std::to_string(kPart));
  }
  // Finishing early names the same offset and commits nothing.
  Reply early = client_->Finish(session, content.size());
  EXPECT_EQ(early.status, 409);
  EXPECT_EQ(JsonString(early.body, "expect"), std::to_string(kPart));
  EXPECT_EQ(backend_.commit_count(), 0);
  SendParts(session, content, kPart);
  // Everything is held: a further part is answered 202.
  EXPECT_EQ(client_->Part(session, content, 0, kPart).status, 202);
  EXPECT_EQ(client_->Finish(session, content.size()).status, 200);
  EXPECT_EQ(Committed(), content);
}

TEST_F(UploadServerTest, CorruptOrMisframedPartsAreRefusedAndNothingIsKept) {
  const std::string content = RandomBytes(2 * kPart, 10);
  long piecelen = -1;
  const std::string session = Open(content, piecelen);
  const std::string body = content.substr(0, kPart);
  const std::string range = "x-zm-upload-range: 0-" + std::to_string(kPart - 1);
  const std::string sid = "x-zm-upload-session: " + session;
  const std::string crc = "x-zm-upload-crc: " + std::to_string(zelmic_test::Crc32Of(body));

  Reply bad_crc = client_->Put(
      "/upload_part",
      {range, sid, "x-zm-upload-crc: " + std::to_string(zelmic_test::Crc32Of(body) ^ 1)}, body);
  EXPECT_EQ(bad_crc.status, 400);
  EXPECT_EQ(JsonInt(bad_crc.body, "error_code"), 40001);

  Reply longer = client_->Put("/upload_part", {range, sid, crc}, body + "x");
  EXPECT_EQ(longer.status, 400) << "a body longer than its range";
  Reply shorter = client_->Put("/upload_part", {range, sid, crc}, body.substr(1));
  EXPECT_EQ(shorter.status, 400) << "a body shorter than its range";
  EXPECT_EQ(client_->Put("/upload_part", {"x-zm-upload-range: 5-2", sid, crc}, body).status, 400);
  EXPECT_EQ(client_->Put("/upload_part", {range, sid}, body).status, 400) << "no CRC";
  Reply past_end =
      client_->Put("/upload_part",
                   {"x-zm-upload-range: 0-" + std::to_string(2 * kPart), sid,
                    "x-zm-upload-crc: " + std::to_string(zelmic_test::Crc32Of(content + "z"))},
                   content + "z");
  EXPECT_EQ(past_end.status, 400) << "a part beyond the announced file size";
  EXPECT_EQ(client_->Post("/upload_part", {range, sid, crc}).status, 405);

  Reply held = client_->Req(session);
  EXPECT_EQ(held.body, "0");
  EXPECT_EQ(held.new_connections, 0) << "refusals leave the connection usable";
  SendParts(session, content, 0);
  EXPECT_EQ(client_->Finish(session, content.size()).status, 200);
  EXPECT_EQ(Committed(), content);
}

TEST_F(UploadServerTest, ContentWhoseSha1DiffersIsNotCommitted) {
  const std::string announced = RandomBytes(kPart + 5, 11);
  std::string sent = announced;
  sent[100] ^= 0x55;
  long piecelen = -1;
  const std::string session = Open(announced, piecelen);
  SendParts(session, sent, 0);
  Reply finish = client_->Finish(session, sent.size());
  EXPECT_EQ(finish.status, 400);
  EXPECT_EQ(JsonInt(finish.body, "error_code"), 40004);
  EXPECT_EQ(backend_.commit_count(), 0);
  std::string ignored;
  EXPECT_FALSE(backend_.CurrentBytes(kPath, ignored));
  EXPECT_EQ(client_->Req(session).status, 401) << "the failed session is discarded";
}

TEST_F(UploadServerTest, FinishSizeMustMatchTheContent) {
  const std::string content = RandomBytes(kPart, 12);
  long piecelen = -1;
  const std::string session = Open(content, piecelen);
  SendParts(session, content, 0);
  EXPECT_EQ(client_->Finish(session, content.size() + 1).status, 400);
  EXPECT_EQ(backend_.commit_count(), 0);
  EXPECT_EQ(client_->Finish(session, content.size()).status, 200);
  EXPECT_EQ(Committed(), content);
}

TEST_F(UploadServerTest, UnknownStaleOrExpiredSessionsGet401) {
  for (const char* path : {"/upload_req", "/download_checksum", "/upload_finish"}) {
    EXPECT_EQ(
        client_->Post(path, {"x-zm-upload-session: nosuch", "x-zm-upload-filesize: 0"}).status, 401)
        << path;
  }
  EXPECT_EQ(client_->Part("nosuch", "abc", 0, 3).status, 401);
  EXPECT_EQ(client_->ChecksumResult("nosuch", "").status, 401);

  const std::string content = RandomBytes(kPart * 2, 13);
  long piecelen = -1;
  const std::string session = Open(content, piecelen);
  ASSERT_EQ(client_->Part(session, content, 0, kPart).status, 200);
  server_.set_session_idle_limit(std::chrono::milliseconds(0));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(client_->Req(session).status, 401);
  server_.set_session_idle_limit(std::chrono::hours(1));
  // The client's answer to a 401: "/upload_init" again, which opens a fresh session.
  std::string fresh;
  ASSERT_EQ(
      client_
          ->Init(kToken, kPathhash, zelmic_test::Sha1Hex(content), content.size(), fresh, piecelen)
          .status,
      200);
  EXPECT_NE(fresh, session);
  EXPECT_EQ(Held(fresh), 0u);
  SendParts(fresh, content, 0);
  EXPECT_EQ(client_->Finish(fresh, content.size()).status, 200);
  EXPECT_EQ(Committed(), content);
}

TEST_F(UploadServerTest, InitChecksTokenAndTicket) {
  const std::string content = RandomBytes(1000, 14);
  backend_.Register(kPathhash, kToken, kPath, content);
  const std::string hash = zelmic_test::Sha1Hex(content);
  std::string session;
  long piecelen = -1;
  EXPECT_EQ(client_->Init("other-token", kPathhash, hash, content.size(), session, piecelen).status,
            401);
  EXPECT_EQ(client_->Init(kToken, "other-hash", hash, content.size(), session, piecelen).status,
            401);
  EXPECT_EQ(client_->Init(kToken, kPathhash, hash, content.size() + 1, session, piecelen).status,
            400);
  EXPECT_EQ(
      client_->Init(kToken, kPathhash, std::string(40, '0'), content.size(), session, piecelen)
          .status,
      400);
  EXPECT_EQ(client_->Post("/upload_init", {"x-zm-token: " + std::string(kToken)}).status, 400);
  EXPECT_TRUE(session.empty());
  EXPECT_EQ(client_->Post("/nowhere", {}).status, 404);
}

TEST_F(UploadServerTest, ContentTheStoreHoldsIsCommittedAt202) {
  const std::string content = RandomBytes(5000, 15);
  backend_.StoreVersion("/elsewhere", content);
  backend_.Register(kPathhash, kToken, kPath, content);
  std::string session;
  long piecelen = -1;
  Reply reply = client_->Init(kToken, kPathhash, zelmic_test::Sha1Hex(content), content.size(),
                              session, piecelen);
  EXPECT_EQ(reply.status, 202);
  EXPECT_EQ(backend_.commit_count(), 1);
  EXPECT_TRUE(backend_.last_staged_path().empty());
  EXPECT_EQ(Committed(), content);
}

TEST_F(UploadServerTest, EmptyFileNeedsNoPart) {
  backend_.Register(kPathhash, kToken, kPath, "");
  std::string session;
  long piecelen = -1;
  ASSERT_EQ(client_->Init(kToken, kPathhash, zelmic_test::Sha1Hex(""), 0, session, piecelen).status,
            200);
  EXPECT_EQ(client_->Finish(session, 0).status, 200);
  EXPECT_EQ(Committed(), "");
}

TEST_F(UploadServerTest, ScriptedAnswersReplaceTheRealWorkOnce) {
  const std::string content = RandomBytes(kPart, 16);
  long piecelen = -1;
  const std::string session = Open(content, piecelen);
  ScriptedAnswer answer;
  answer.status = 500;
  answer.body = "scripted";
  faults_.push("/upload_part", answer);
  Reply scripted = client_->Part(session, content, 0, kPart);
  EXPECT_EQ(scripted.status, 500);
  EXPECT_EQ(scripted.body, "scripted");
  EXPECT_EQ(Held(session), 0u) << "a scripted answer does no real work";
  SendParts(session, content, 0);
  EXPECT_EQ(client_->Finish(session, content.size()).status, 200);
}

TEST_F(UploadServerTest, ParallelUploadsOfDifferentFilesStaySeparate) {
  constexpr int kFiles = 3;
  std::vector<std::string> contents;
  std::vector<std::string> sessions(kFiles);
  for (int i = 0; i < kFiles; ++i) {
    contents.push_back(
        RandomBytes(3 * kPart + static_cast<size_t>(i), 20 + static_cast<unsigned>(i)));
    backend_.Register("ph" + std::to_string(i), kToken, "/f" + std::to_string(i), contents.back());
  }
  std::vector<std::thread> threads;
  std::vector<int> finish_status(kFiles, 0);
  for (int i = 0; i < kFiles; ++i) {
    threads.emplace_back([&, i] {
      UploadTestClient client(server_.port());
      long piecelen = -1;
      const std::string& content = contents[static_cast<size_t>(i)];
      client.Init(kToken, "ph" + std::to_string(i), zelmic_test::Sha1Hex(content), content.size(),
                  sessions[static_cast<size_t>(i)], piecelen);
      for (uint64_t at = 0; at < content.size(); at += kPart) {
        if (client
                .Part(sessions[static_cast<size_t>(i)], content, at,
                      std::min(kPart, content.size() - at))
                .status != 200) {
          return;
        }
      }
      finish_status[static_cast<size_t>(i)] =
          static_cast<int>(client.Finish(sessions[static_cast<size_t>(i)], content.size()).status);
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kFiles; ++i) {
    EXPECT_EQ(finish_status[static_cast<size_t>(i)], 200) << i;
    std::string bytes;
    ASSERT_TRUE(backend_.CurrentBytes("/f" + std::to_string(i), bytes));
    EXPECT_EQ(bytes, contents[static_cast<size_t>(i)]) << i;
  }
}

}  // namespace
}  // namespace zelmic
