// Delta uploads: the server describes its stored version as block checksums, the client sends a
// match list and the literal bytes, and the server rebuilds the new file byte for byte.

#include <filesystem>

#include "tests/service/upload/upload_server_fixture.h"

namespace zelmic {
namespace {

using zelmic_test::EncodeMatches;
using zelmic_test::Match;

class DeltaUploadTest : public UploadServerTest {
 protected:
  // Stores `stored` as the current version, registers `fresh` and opens its session.
  std::string OpenDelta(const std::string& stored, const std::string& fresh, long& piecelen) {
    backend_.StoreVersion(kPath, stored);
    return Open(fresh, piecelen);
  }

  std::string Checksums(const std::string& session) {
    Reply reply = client_->DownloadChecksum(session);
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(reply.identified());
    return reply.body;
  }
};

TEST_F(DeltaUploadTest, EditedFileIsRebuiltFromMatchesAndLiteralBytes) {
  const std::string stored = RandomBytes(10 * 4096 + 777, 30);
  // One byte in front, a changed run in the middle, a new tail.
  std::string fresh = "!" + stored;
  for (size_t i = 20000; i < 20100; ++i) fresh[i] = static_cast<char>(fresh[i] ^ 0x3c);
  fresh += RandomBytes(5000, 31);
  long piecelen = -1;
  const std::string session = OpenDelta(stored, fresh, piecelen);
  ASSERT_EQ(piecelen, 4096);
  const std::string list = Checksums(session);
  ASSERT_EQ(list.size(), 20u * 10) << "one entry per full stored block";

  std::string match_list;
  std::string literal;
  ASSERT_TRUE(zelmic_test::ReferenceDelta(list, 4096, fresh, match_list, literal));
  ASSERT_GE(match_list.size(), 10u * 8) << "most blocks must match";
  ASSERT_EQ(literal.size() + match_list.size() / 10 * 4096, fresh.size());

  Reply accepted = client_->ChecksumResult(session, match_list);
  ASSERT_EQ(accepted.status, 200) << accepted.body;
  EXPECT_TRUE(accepted.identified());
  // The session keeps the accepted list on disk, not in memory, until the finish.
  std::string kept;
  for (const auto& entry : std::filesystem::directory_iterator(backend_.staging_dir()))
    if (entry.path().extension() == ".matches") kept = zelmic_test::ReadWholeFile(entry.path());
  EXPECT_EQ(kept, match_list);
  SendParts(session, literal, 0);
  EXPECT_EQ(Held(session), literal.size());
  testing::internal::CaptureStderr();
  Reply finish = client_->Finish(session, literal.size());
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_EQ(finish.status, 200) << finish.body;
  EXPECT_EQ(Committed(), fresh);
  EXPECT_TRUE(std::filesystem::is_empty(backend_.staging_dir()));
  // The service's line tells the file's size apart from the literal bytes that crossed the wire.
  EXPECT_NE(log.find(": " + std::to_string(fresh.size()) + " bytes stored, " +
                     std::to_string(literal.size()) + " of them sent (block delta)\n"),
            std::string::npos)
      << log;
}

TEST_F(DeltaUploadTest, MatchesAloneCompleteTheFileAt202) {
  const std::string stored = RandomBytes(3 * 4096, 32);
  // Blocks 2 and 0 of the stored version, nothing else.
  const std::string fresh = stored.substr(8192, 4096) + stored.substr(0, 4096);
  long piecelen = -1;
  const std::string session = OpenDelta(stored, fresh, piecelen);
  ASSERT_EQ(piecelen, 4096);
  Reply reply = client_->ChecksumResult(session, EncodeMatches({{0, 2}, {4096, 0}}));
  EXPECT_EQ(reply.status, 202);
  EXPECT_EQ(client_->Finish(session, 0).status, 200);
  EXPECT_EQ(Committed(), fresh);
}

TEST_F(DeltaUploadTest, EmptyMatchListSendsTheWholeFileAsLiteral) {
  const std::string stored = RandomBytes(2 * 4096, 33);
  const std::string fresh = RandomBytes(3000, 34);
  long piecelen = -1;
  const std::string session = OpenDelta(stored, fresh, piecelen);
  ASSERT_EQ(client_->ChecksumResult(session, "").status, 200);
  SendParts(session, fresh, 0);
  EXPECT_EQ(client_->Finish(session, fresh.size()).status, 200);
  EXPECT_EQ(Committed(), fresh);
}

TEST_F(DeltaUploadTest, BadMatchListsAreRefusedAndNothingIsStored) {
  const std::string stored = RandomBytes(2 * 4096 + 10, 35);
  const std::string fresh = stored + "more";
  long piecelen = -1;
  const std::string session = OpenDelta(stored, fresh, piecelen);
  const struct {
    std::string body;
    const char* why;
  } cases[] = {
      {EncodeMatches({{0, 2}}), "block beyond the stored full blocks"},
      {EncodeMatches({{0, 0}, {100, 1}}), "overlapping matches"},
      {EncodeMatches({{fresh.size() - 100, 0}}), "match past the end"},
      {EncodeMatches({{0, 0}}) + "x", "not whole records"},
  };
  for (const auto& c : cases) {
    Reply reply = client_->ChecksumResult(session, c.body);
    EXPECT_EQ(reply.status, 400) << c.why;
    EXPECT_EQ(JsonInt(reply.body, "error_code"), 40003) << c.why;
  }
  const std::string good = EncodeMatches({{0, 0}});
  Reply bad_crc =
      client_->Put("/upload_checksum_result",
                   {"x-zm-upload-session: " + session,
                    "x-zm-upload-crc: " + std::to_string(zelmic_test::Crc32Of(good) + 1)},
                   good);
  EXPECT_EQ(bad_crc.status, 400);
  EXPECT_EQ(JsonInt(bad_crc.body, "error_code"), 40001);
  EXPECT_EQ(backend_.commit_count(), 0);
  std::string current;
  ASSERT_TRUE(backend_.CurrentBytes(kPath, current));
  EXPECT_EQ(current, stored) << "the stored version is untouched";

  // None of the refused lists took effect: the whole file is still what the parts must carry.
  SendParts(session, fresh, 0);
  EXPECT_EQ(client_->Finish(session, fresh.size()).status, 200);
  EXPECT_EQ(Committed(), fresh);
}

TEST_F(DeltaUploadTest, ResumedDeltaKeepsItsMatchList) {
  const std::string stored = RandomBytes(4 * 4096, 36);
  const std::string fresh = RandomBytes(20000, 37) + stored;
  long piecelen = -1;
  const std::string session = OpenDelta(stored, fresh, piecelen);
  std::string match_list;
  std::string literal;
  ASSERT_TRUE(zelmic_test::ReferenceDelta(Checksums(session), 4096, fresh, match_list, literal));
  ASSERT_EQ(client_->ChecksumResult(session, match_list).status, 200);
  ASSERT_EQ(client_->Part(session, literal, 0, 8192).status, 200);

  client_ = std::make_unique<UploadTestClient>(server_.port());
  std::string again;
  ASSERT_EQ(
      client_->Init(kToken, kPathhash, zelmic_test::Sha1Hex(fresh), fresh.size(), again, piecelen)
          .status,
      200);
  ASSERT_EQ(again, session);
  const uint64_t held = Held(session);
  ASSERT_EQ(held, 8192u);
  // Once parts are held the match list cannot change any more.
  EXPECT_EQ(client_->ChecksumResult(session, "").status, 409);
  SendParts(session, literal, held);
  EXPECT_EQ(client_->Finish(session, literal.size()).status, 200);
  EXPECT_EQ(Committed(), fresh);
}

TEST_F(DeltaUploadTest, DeltaIsRefusedWith205WithoutAStoredVersion) {
  const std::string fresh = RandomBytes(9000, 38);
  long piecelen = -1;
  const std::string session = Open(fresh, piecelen);
  EXPECT_EQ(piecelen, 0);
  EXPECT_EQ(client_->DownloadChecksum(session).status, 205);
  EXPECT_EQ(client_->ChecksumResult(session, "").status, 205);
}

TEST_F(DeltaUploadTest, SmallStoredVersionOffersNoDelta) {
  backend_.StoreVersion(kPath, RandomBytes(4095, 39));
  long piecelen = -1;
  Open(RandomBytes(9000, 40), piecelen);
  EXPECT_EQ(piecelen, 0) << "a stored version without one full block has nothing to match";
}

TEST_F(DeltaUploadTest, WrongRebuildIsCaughtBySha1) {
  const std::string stored = RandomBytes(2 * 4096, 41);
  const std::string fresh = stored.substr(0, 4096) + "abc";
  long piecelen = -1;
  const std::string session = OpenDelta(stored, fresh, piecelen);
  // Names block 1 where block 0 belongs: well-formed but not this file.
  ASSERT_EQ(client_->ChecksumResult(session, EncodeMatches({{0, 1}})).status, 200);
  SendParts(session, std::string("abc"), 0);
  Reply finish = client_->Finish(session, 3);
  EXPECT_EQ(finish.status, 400);
  EXPECT_EQ(JsonInt(finish.body, "error_code"), 40004);
  EXPECT_EQ(backend_.commit_count(), 0);
  std::string current;
  ASSERT_TRUE(backend_.CurrentBytes(kPath, current));
  EXPECT_EQ(current, stored);
}

}  // namespace
}  // namespace zelmic
