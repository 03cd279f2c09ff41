// The chunked upload protocol against a scripted upload server: request order, header lines,
// retry rules, resume, delta, and the bytes the server ends up with.

#include "upload/upload_protocol.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/upload/fake_upload_server.h"
#include "tests/upload/upload_test_util.h"
#include "upload/digests.h"
#include "upload/upload_task.h"
#include "upload/upload_worker.h"

namespace plumet {
namespace {

using upload_test::FakeUploadServer;
using upload_test::RecordedRequest;
using upload_test::Scripted;

class UploadProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    upload_test::ClearProxyEnvironment();
    ASSERT_FALSE(scratch.path().empty());
    ASSERT_TRUE(server.Start());
  }

  // Writes the local copy and leaves the task where the worker hands it to the protocol.
  void Prepare(const std::string& content, const std::wstring& remotePath = L"/docs/a b.txt") {
    localPath = scratch.path() + "/copy.bin";
    ASSERT_TRUE(upload_test::WriteBytes(localPath, content));
    job.mount = 1;
    job.accessToken = L"access-token";
    job.remotePath = remotePath;
    job.sourcePath = localPath;
    job.fileHash = upload_test::Widen(HashFileSha1(localPath));
    NewTask();
    ASSERT_EQ(content.size(), task->fileSize);
  }

  // A task for `job` as the worker hands it to the protocol: registered, source file open.
  void NewTask() {
    task = std::make_unique<CUploadTask>(job, lock, nullptr);
    task->uploadHash = L"ph-1";
    task->uploadServerUrl = server.BaseUrl();
    ASSERT_TRUE(OpenLocalFile(*task));
  }

  std::vector<std::string> Paths() const {
    std::vector<std::string> paths;
    for (const RecordedRequest& r : server.Requests()) paths.push_back(r.path);
    return paths;
  }

  std::vector<std::string> Ranges() const { return Ranges(server); }
  static std::vector<std::string> Ranges(const FakeUploadServer& from) {
    std::vector<std::string> ranges;
    for (const RecordedRequest& r : from.Requests()) {
      if (r.path == "/upload_part") ranges.push_back(r.Header("x-zm-upload-range"));
    }
    return ranges;
  }

  plumet_test::ScratchDir scratch;
  FakeUploadServer server;
  std::recursive_mutex lock;
  UploadJob job;
  std::string localPath;
  std::unique_ptr<CUploadTask> task;
};

Scripted Answer(unsigned status, const std::string& body = "", bool serverHeader = true) {
  Scripted answer;
  answer.status = status;
  answer.body = body;
  answer.serverHeader = serverHeader;
  return answer;
}

// The own lines of a request, in order, without the ones libcurl adds.
std::vector<std::string> OwnLines(const RecordedRequest& r) {
  std::vector<std::string> lines;
  for (const auto& [name, value] : r.headers) {
    // libcurl gives a POST its default form content type; only a PUT's own type is ours.
    const bool ownType = name == "Content-Type" && r.method == "PUT";
    if (name.rfind("x-zm-", 0) == 0 || ownType) lines.push_back(name + ": " + value);
  }
  return lines;
}

TEST_F(UploadProtocolTest, WholeUploadSendsRequestsAndLinesInOrder) {
  const std::string content = upload_test::RandomBytes(32769, 1);
  Prepare(content);
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ((std::vector<std::string>{"/upload_init", "/upload_req", "/upload_part", "/upload_part",
                                      "/upload_finish"}),
            Paths());
  EXPECT_EQ((std::vector<std::string>{"0-32767", "32768-32768"}), Ranges());
  ASSERT_TRUE(server.HasCommitted());
  EXPECT_TRUE(content == server.Committed())
      << upload_test::Difference(content, server.Committed());

  const std::vector<RecordedRequest> requests = server.Requests();
  const std::string hash(job.fileHash.begin(), job.fileHash.end());
  EXPECT_EQ(
      (std::vector<std::string>{"x-zm-upload-filesize: 32769", "x-zm-upload-pathhash: ph-1",
                                "x-zm-upload-filehash: " + hash,
                                "x-zm-upload-filename: a%20b%2Etxt", "x-zm-token: access-token"}),
      OwnLines(requests[0]));
  EXPECT_EQ((std::vector<std::string>{"x-zm-upload-session: sess-1"}), OwnLines(requests[1]));
  // Each part's CRC-32 is zlib's of the bytes of its range.
  const auto zlibCrc = [](const std::string& bytes) {
    return std::to_string(
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
  };
  EXPECT_EQ(zlibCrc(content.substr(0, 32768)), requests[2].Header("x-zm-upload-crc"));
  const std::string crc = zlibCrc(content.substr(32768, 1));
  EXPECT_EQ((std::vector<std::string>{"x-zm-upload-range: 32768-32768",
                                      "x-zm-upload-session: sess-1", "x-zm-upload-crc: " + crc,
                                      "Content-Type: application/octet-stream"}),
            OwnLines(requests[3]));
  EXPECT_EQ(
      (std::vector<std::string>{"x-zm-upload-session: sess-1", "x-zm-upload-filesize: 32769"}),
      OwnLines(requests[4]));
  for (const RecordedRequest& r : requests) {
    EXPECT_EQ("7d2c9e41b0a85f3e6c17d4a92b08e5f3c61a7d90", r.Header("User-Agent")) << r.path;
    EXPECT_FALSE(r.HasHeader("Expect")) << r.path;
    EXPECT_EQ(r.path == "/upload_part" ? "PUT" : "POST", r.method) << r.path;
  }
  EXPECT_EQ(content.size(), task->bodyBytesSent);
}

TEST_F(UploadProtocolTest, EmptyFileSendsNoPartAndFinishesWithZero) {
  Prepare("");
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ((std::vector<std::string>{"/upload_init", "/upload_req", "/upload_finish"}), Paths());
  EXPECT_EQ("0", server.Requests().back().Header("x-zm-upload-filesize"));
  EXPECT_TRUE(server.HasCommitted());
}

TEST_F(UploadProtocolTest, RemotePathWithoutSlashIsTheFileName) {
  Prepare("x", L"plan.txt");
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ("plan%2Etxt", server.Requests()[0].Header("x-zm-upload-filename"));
}

TEST_F(UploadProtocolTest, InitAnswered202CompletesAtOnce) {
  Prepare("abc");
  server.Push("/upload_init", Answer(202, "", true));
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ((std::vector<std::string>{"/upload_init"}), Paths());
}

TEST_F(UploadProtocolTest, InitRetriesFiveTimesThenFails) {
  Prepare("abc");
  for (int i = 0; i < 6; ++i) server.Push("/upload_init", Answer(503, "", true));
  EXPECT_EQ(UploadOutcome::kFailed, RunUploadProtocol(*task));
  EXPECT_EQ(6, server.Count("/upload_init"));
  EXPECT_EQ(6u, server.Requests().size());
}

TEST_F(UploadProtocolTest, MissingServerHeaderIsFinal) {
  Prepare("abc");
  server.Push("/upload_init", Answer(200, "{\"session\":\"s\",\"piecelen\":0}", false));
  EXPECT_EQ(UploadOutcome::kFailed, RunUploadProtocol(*task));
  EXPECT_EQ(500, task->status);
  EXPECT_EQ(1u, server.Requests().size());
}

TEST_F(UploadProtocolTest, RedirectFailsWithItsStatusAndTakesNoTokenElsewhere) {
  Prepare("abc");
  FakeUploadServer elsewhere;
  ASSERT_TRUE(elsewhere.Start());
  Scripted redirect = Answer(302);
  redirect.location = "http://" + elsewhere.Host() + "/upload_init";
  server.Push("/upload_init", redirect);
  EXPECT_FALSE(UploadInit(*task));
  EXPECT_EQ(302, task->status);
  EXPECT_EQ(1, server.Count("/upload_init"));
  EXPECT_TRUE(elsewhere.Requests().empty());  // "x-zm-token" stays with the upload server
  EXPECT_TRUE(task->uploadSession.empty());
}

TEST_F(UploadProtocolTest, UnauthorizedQueryStartsANewSession) {
  const std::string content = upload_test::RandomBytes(1000, 2);
  Prepare(content);
  server.Push("/upload_req", Answer(401, "", true));
  server.Push("/upload_req", Answer(401, "", true));
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ(3, server.Count("/upload_init"));
  EXPECT_EQ(3, server.Count("/upload_req"));
  EXPECT_EQ("sess-3", server.Requests().back().Header("x-zm-upload-session"));
  EXPECT_TRUE(content == server.Committed())
      << upload_test::Difference(content, server.Committed());
}

TEST_F(UploadProtocolTest, ServerErrorBeforePartsIsFinal) {
  Prepare("abc");
  server.Push("/upload_req", Answer(500, "", true));
  EXPECT_EQ(UploadOutcome::kFailed, RunUploadProtocol(*task));
  EXPECT_EQ(1, server.Count("/upload_req"));
}

TEST_F(UploadProtocolTest, ResumesWhereTheServerHoldsTheContent) {
  const std::string content = upload_test::RandomBytes(3 * 32768 + 5, 3);
  Prepare(content);
  server.SetHeld(content.substr(0, 40000));
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ((std::vector<std::string>{"40000-72767", "72768-98308"}), Ranges());
  EXPECT_EQ(content.size() - 40000, task->bodyBytesSent);
  EXPECT_TRUE(content == server.Committed())
      << upload_test::Difference(content, server.Committed());
}

TEST_F(UploadProtocolTest, ConflictNamesTheOffsetToGoOnFrom) {
  const std::string content = upload_test::RandomBytes(3 * 32768, 4);
  Prepare(content);
  server.SetHeld(content.substr(0, 50000));
  server.Push("/upload_req",
              Answer(200, "0", true));  // the query understates what the server holds
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  // The first part is refused with 409/40900 "expect" 50000; the next one starts there.
  EXPECT_EQ((std::vector<std::string>{"0-32767", "50000-82767", "82768-98303"}), Ranges());
  EXPECT_TRUE(content == server.Committed())
      << upload_test::Difference(content, server.Committed());
}

TEST_F(UploadProtocolTest, FiveFailedPartsFailTheUpload) {
  Prepare(upload_test::RandomBytes(70000, 5));
  for (int i = 0; i < 5; ++i) server.Push("/upload_part", Answer(503, "", true));
  EXPECT_EQ(UploadOutcome::kFailed, RunUploadProtocol(*task));
  EXPECT_EQ(5, server.Count("/upload_part"));
  EXPECT_EQ(0, server.Count("/upload_finish"));
  EXPECT_EQ((std::vector<std::string>(5, "0-32767")), Ranges());
}

TEST_F(UploadProtocolTest, SuccessResetsTheFailureCount) {
  const std::string content = upload_test::RandomBytes(70000, 6);
  Prepare(content);
  // Four failures of the first part, its success, then four failures of the second part.
  for (int i = 0; i < 4; ++i) server.Push("/upload_part", Answer(503, "", true));
  server.Push("/upload_part", Answer(0, "", true));
  for (int i = 0; i < 4; ++i) server.Push("/upload_part", Answer(500, "", true));
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ(4 + 1 + 4 + 1 + 1, server.Count("/upload_part"));
  EXPECT_TRUE(content == server.Committed())
      << upload_test::Difference(content, server.Committed());
}

TEST_F(UploadProtocolTest, PartAnswered202EndsThePartsAndFinishes) {
  Prepare(upload_test::RandomBytes(100000, 8));
  server.Push("/upload_part", Answer(202, "", true));
  server.Push("/upload_finish", Answer(200, "", true));
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ(
      (std::vector<std::string>{"/upload_init", "/upload_req", "/upload_part", "/upload_finish"}),
      Paths());
}

TEST_F(UploadProtocolTest, FinishFailuresCountOnFromTheParts) {
  Prepare(upload_test::RandomBytes(10, 9));
  for (int i = 0; i < 5; ++i) server.Push("/upload_finish", Answer(503, "", true));
  EXPECT_EQ(UploadOutcome::kFailed, RunUploadProtocol(*task));
  EXPECT_EQ(5, server.Count("/upload_finish"));
}

TEST_F(UploadProtocolTest, StopDuringThePartsEndsStopped) {
  Prepare(upload_test::RandomBytes(40 * 32768, 10));
  server.SetPartDelayMs(20);
  std::thread owner([&] {
    for (int i = 0; i < 2000 && server.Count("/upload_part") < 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    task->stopRequested.store(true);
  });
  const UploadOutcome outcome = RunUploadProtocol(*task);
  owner.join();
  EXPECT_EQ(UploadOutcome::kStopped, outcome);
  EXPECT_LT(server.Count("/upload_part"), 40);
  EXPECT_EQ(0, server.Count("/upload_finish"));
}

TEST_F(UploadProtocolTest, StopEndsEveryRequestAtOnce) {
  Prepare(upload_test::RandomBytes(1000, 10));
  task->stopRequested.store(true);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(UploadOutcome::kFailed, RunUploadProtocol(*task));  // never reached the parts
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_EQ(10061, task->status);
  EXPECT_EQ(0, server.Count("/upload_part"));
  EXPECT_EQ(0, server.Count("/upload_finish"));
}

TEST_F(UploadProtocolTest, CopyShorterThanItsPartFailsThatTransfer) {
  Prepare(upload_test::RandomBytes(40000, 19));
  task->lastByte = 39999;
  ASSERT_EQ(0, ::truncate(localPath.c_str(), 1000));
  EXPECT_FALSE(UploadPart(*task, 32768));
  EXPECT_EQ(10061, task->status);  // the body ended before its announced length
  EXPECT_EQ(0u, task->position);
  EXPECT_FALSE(server.HasCommitted());
}

TEST_F(UploadProtocolTest, OverlongHeaderLineIsNeverSent) {
  Prepare("abc");
  task->accessToken = std::wstring(4000, L't');
  EXPECT_EQ(UploadOutcome::kFailed, RunUploadProtocol(*task));
  EXPECT_TRUE(server.Requests().empty());
}

// Delta uploads: the stored version is cut into blocks; only the literal bytes travel.
class DeltaProtocolTest : public UploadProtocolTest {
 protected:
  static constexpr uint32_t kBlock = 4096;
  std::string LiteralPath() const {
    return scratch.path() + "/" + std::string(job.fileHash.begin(), job.fileHash.end()) + ".tmp";
  }
};

TEST_F(DeltaProtocolTest, SendsMatchesAndLiteralBytes) {
  const std::string stored = upload_test::RandomBytes(64 * kBlock + 100, 11);
  std::string edited = stored;
  edited.insert(10 * kBlock + 7, "inserted");
  edited[40 * kBlock + 1] ^= 0x55;
  server.SetStored(stored, kBlock);
  Prepare(edited);
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  const std::vector<std::string> paths = Paths();
  ASSERT_GE(paths.size(), 5u);
  EXPECT_EQ((std::vector<std::string>{"/upload_init", "/upload_req", "/download_checksum",
                                      "/upload_checksum_result"}),
            std::vector<std::string>(paths.begin(), paths.begin() + 4));
  EXPECT_EQ("/upload_finish", paths.back());
  EXPECT_TRUE(edited == server.Committed()) << upload_test::Difference(edited, server.Committed());
  EXPECT_LT(task->bodyBytesSent, edited.size() / 4);
  // The literal file lives beside the copy until the task ends.
  EXPECT_TRUE(upload_test::Exists(LiteralPath()));
  const std::string literal = LiteralPath();
  task.reset();
  EXPECT_FALSE(upload_test::Exists(literal));
}

TEST_F(DeltaProtocolTest, RefusedDeltaGoesWholeInTheSameUploadSession) {
  struct Case {
    const char* refusedAt;
    int matchLists;  // "/upload_checksum_result" requests
  };
  for (const Case& c : {Case{"/download_checksum", 0}, Case{"/upload_checksum_result", 1}}) {
    SCOPED_TRACE(c.refusedAt);
    std::string content = upload_test::RandomBytes(8 * kBlock + 5, 12 + c.matchLists);
    server.SetStored(content, kBlock);
    content[kBlock] ^= 1;
    ASSERT_NO_FATAL_FAILURE(Prepare(content));
    const int inits = server.Count("/upload_init");
    const int lists = server.Count("/upload_checksum_result");
    server.Push(c.refusedAt, Answer(205, "", true));
    EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
    EXPECT_TRUE(task->deltaRefused);
    EXPECT_EQ(0, task->blockSize);
    EXPECT_EQ(inits + 1, server.Count("/upload_init"));  // no new upload session
    EXPECT_EQ(lists + c.matchLists, server.Count("/upload_checksum_result"));
    EXPECT_FALSE(upload_test::Exists(LiteralPath()));
    EXPECT_TRUE(content == server.Committed())
        << upload_test::Difference(content, server.Committed());
  }
}

TEST_F(DeltaProtocolTest, LaterUploadsOfARefusedJobGoWhole) {
  const std::string content = upload_test::RandomBytes(8 * kBlock, 13);
  server.SetStored(content, kBlock);
  job.deltaRefused = true;
  Prepare(content);
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ(0, server.Count("/download_checksum"));
  EXPECT_EQ(0, server.Count("/upload_checksum_result"));
  EXPECT_EQ(content.size(), task->bodyBytesSent);
  EXPECT_TRUE(content == server.Committed())
      << upload_test::Difference(content, server.Committed());
}

// A success status without the upload server's identity line is a failure: 202 would otherwise
// end the upload as complete while the server holds nothing.
TEST_F(DeltaProtocolTest, UnidentifiedSuccessIsNoSuccess) {
  struct Case {
    const char* path;
    bool delta;
    UploadOutcome outcome;
    uint32_t seed;  // a content of its own, so that no earlier case's commit passes for it
  };
  for (const Case& c : {Case{"/upload_init", false, UploadOutcome::kFailed, 14},
                        Case{"/upload_part", false, UploadOutcome::kCompleted, 15},
                        Case{"/upload_checksum_result", true, UploadOutcome::kFailed, 16}}) {
    SCOPED_TRACE(c.path);
    const std::string content = upload_test::RandomBytes(3 * 32768, c.seed);
    server.SetStored(c.delta ? content : std::string(), c.delta ? kBlock : 0);
    ASSERT_NO_FATAL_FAILURE(Prepare(content));
    const int finishes = server.Count("/upload_finish");
    const std::string before = server.Committed();
    server.Push(c.path, Answer(202, "", false));
    // The match list case: a finish that would "complete" an upload nobody sent.
    if (c.delta) server.Push("/upload_finish", Answer(200, "", true));
    EXPECT_EQ(c.outcome, RunUploadProtocol(*task));
    if (c.outcome == UploadOutcome::kCompleted) {
      EXPECT_TRUE(content == server.Committed())
          << upload_test::Difference(content, server.Committed());
    } else {
      EXPECT_EQ(500, task->status);
      EXPECT_EQ(finishes, server.Count("/upload_finish"));
      EXPECT_TRUE(before == server.Committed());
    }
  }
}

TEST_F(DeltaProtocolTest, StalledAnswerEndsTheAttempt) {
  // The checksum list has no overall time limit (it grows with the file): only the stall limit
  // ends a wait for an answer that does not come.
  const std::string content = upload_test::RandomBytes(8 * kBlock, 19);
  server.SetStored(content, kBlock);
  Prepare(content);
  task->stallSeconds = 1;
  task->blockSize = kBlock;
  server.StallNext("/download_checksum", 3000);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(DownloadChecksum(*task));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(2800));
  EXPECT_EQ(10061, task->status);
}

TEST_F(DeltaProtocolTest, MatchListAnswered202FinishesWithoutParts) {
  const std::string content = upload_test::RandomBytes(8 * kBlock, 14);
  server.SetStored(content, kBlock);
  Prepare(content);
  server.Push("/upload_checksum_result", Answer(202, "", true));
  server.Push("/upload_finish", Answer(200, "", true));
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ((std::vector<std::string>{"/upload_init", "/upload_req", "/download_checksum",
                                      "/upload_checksum_result", "/upload_finish"}),
            Paths());
}

TEST_F(DeltaProtocolTest, RetriedMatchListIsSentWhole) {
  const std::string content = upload_test::RandomBytes(8 * kBlock + 3, 15);
  server.SetStored(content, kBlock);
  Prepare(content);
  server.Push("/upload_checksum_result", Answer(503, "", true));
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  std::vector<RecordedRequest> lists;
  for (const RecordedRequest& r : server.Requests()) {
    if (r.path == "/upload_checksum_result") lists.push_back(r);
  }
  // The content is the stored version: full block i matches stored block i at i * kBlock, and
  // each record is that offset (8 bytes) then that index (2 bytes), little-endian.
  std::string expected;
  for (uint64_t i = 0; i < 8; ++i) {
    const uint64_t offset = i * kBlock;
    for (int b = 0; b < 8; ++b) expected += static_cast<char>((offset >> (8 * b)) & 0xff);
    expected += static_cast<char>(i & 0xff);
    expected += static_cast<char>((i >> 8) & 0xff);
  }
  const std::string expectedCrc = std::to_string(crc32(
      0L, reinterpret_cast<const Bytef*>(expected.data()), static_cast<uInt>(expected.size())));
  ASSERT_EQ(2u, lists.size());
  for (const RecordedRequest& list : lists) {
    EXPECT_EQ(80u, list.body.size());
    EXPECT_TRUE(expected == list.body) << upload_test::Difference(expected, list.body);
    EXPECT_EQ(expectedCrc, list.Header("x-zm-upload-crc"));
  }
  EXPECT_TRUE(content == server.Committed())
      << upload_test::Difference(content, server.Committed());
}

TEST_F(DeltaProtocolTest, NothingInCommonGoesWhole) {
  server.SetStored(upload_test::RandomBytes(16 * kBlock, 16), kBlock);
  const std::string content = upload_test::RandomBytes(16 * kBlock, 17);
  Prepare(content);
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ(0, server.Count("/upload_checksum_result"));
  EXPECT_EQ(0, task->blockSize);
  EXPECT_FALSE(upload_test::Exists(LiteralPath()));
  EXPECT_TRUE(content == server.Committed())
      << upload_test::Difference(content, server.Committed());
}

TEST_F(DeltaProtocolTest, FileNoLongerThanABlockSendsAnEmptyMatchList) {
  server.SetStored(upload_test::RandomBytes(4 * kBlock, 20), kBlock);
  const std::string content = upload_test::RandomBytes(3000, 21);
  Prepare(content);
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  std::vector<RecordedRequest> lists;
  for (const RecordedRequest& r : server.Requests()) {
    if (r.path == "/upload_checksum_result") lists.push_back(r);
  }
  ASSERT_EQ(1u, lists.size());
  EXPECT_TRUE(lists[0].body.empty());
  EXPECT_EQ("0", lists[0].Header("x-zm-upload-crc"));
  EXPECT_EQ((std::vector<std::string>{"0-2999"}), Ranges());  // the literal file is the whole copy
  EXPECT_TRUE(content == server.Committed())
      << upload_test::Difference(content, server.Committed());
}

// A delta upload stopped during its parts, then taken up by a new task for the same session.
class ResumedDeltaTest : public DeltaProtocolTest {
 protected:
  void StopAfterTwoParts() {
    stored = upload_test::RandomBytes(64 * kBlock, 22);
    edited = stored;
    for (int i = 0; i < 24; ++i) edited[i * 2 * kBlock + 100] ^= 0x11;  // 24 blocks differ
    server.SetStored(stored, kBlock);
    Prepare(edited);
    server.SetPartDelayMs(10);
    std::thread owner([&] {
      for (int i = 0; i < 2000 && server.Count("/upload_part") < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      task->stopRequested.store(true);
    });
    ASSERT_EQ(UploadOutcome::kStopped, RunUploadProtocol(*task));
    owner.join();
    server.SetPartDelayMs(0);
    literal = upload_test::ReadAll(LiteralPath());
    held = server.Literal().size();
    ASSERT_GT(held, 0u);
    ASSERT_LT(held, literal.size());
  }

  std::string stored, edited, literal;
  size_t held = 0;
};

TEST_F(ResumedDeltaTest, RecomputesTheLiteralFileAndSendsOnlyTheRest) {
  ASSERT_NO_FATAL_FAILURE(StopAfterTwoParts());
  task.reset();  // deletes the literal file
  ASSERT_FALSE(upload_test::Exists(LiteralPath()));
  const int listsBefore = server.Count("/upload_checksum_result");
  ASSERT_NO_FATAL_FAILURE(NewTask());
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ(listsBefore, server.Count("/upload_checksum_result"));  // not sent again
  EXPECT_EQ(2, server.Count("/download_checksum"));
  EXPECT_EQ(literal.size() - held, task->bodyBytesSent);
  EXPECT_TRUE(edited == server.Committed()) << upload_test::Difference(edited, server.Committed());
}

TEST_F(ResumedDeltaTest, ReopensALiteralFileLeftBehind) {
  ASSERT_NO_FATAL_FAILURE(StopAfterTwoParts());
  const std::string path = LiteralPath();
  task.reset();
  ASSERT_TRUE(upload_test::WriteBytes(path, literal));  // as a crashed run would leave it
  ASSERT_NO_FATAL_FAILURE(NewTask());
  EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
  EXPECT_EQ(1, server.Count("/download_checksum"));  // the literal file was used as it was
  EXPECT_EQ(literal.size() - held, task->bodyBytesSent);
  EXPECT_TRUE(edited == server.Committed()) << upload_test::Difference(edited, server.Committed());
}

TEST_F(DeltaProtocolTest, BadChecksumListIsRetriedThenFails) {
  const std::string content = upload_test::RandomBytes(8 * kBlock, 18);
  server.SetStored(content, kBlock);
  Prepare(content);
  for (int i = 0; i < 6; ++i)
    server.Push("/download_checksum", Answer(200, std::string(21, 'x'), true));
  EXPECT_EQ(UploadOutcome::kFailed, RunUploadProtocol(*task));
  EXPECT_EQ(6, server.Count("/download_checksum"));
}

}  // namespace
}  // namespace plumet

namespace plumet {
namespace {

// The two body readers, called the way libcurl calls them.
class ReadCallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch.path().empty());
    path = scratch.path() + "/copy.bin";
    content = upload_test::RandomBytes(40000, 50);
    ASSERT_TRUE(upload_test::WriteBytes(path, content));
    task = std::make_unique<CUploadTask>(JobFor(path), lock, nullptr);
    ASSERT_TRUE(OpenLocalFile(*task));
    task->lastByte = content.size() - 1;
  }

  static UploadJob JobFor(const std::string& path) {
    UploadJob job;
    job.sourcePath = path;
    return job;
  }

  plumet_test::ScratchDir scratch;
  std::string path;
  std::string content;
  std::recursive_mutex lock;
  std::unique_ptr<CUploadTask> task;
};

TEST_F(ReadCallbackTest, PartDataStopsAtThePartAndTheContentEnd) {
  std::string buffer(70000, '\0');
  EXPECT_EQ(32768u, ReadPartData(buffer.data(), 1, buffer.size(), task.get()));
  EXPECT_TRUE(content.substr(0, 32768) == buffer.substr(0, 32768));
  EXPECT_EQ(32768u, task->position);
  EXPECT_EQ(0u, ReadPartData(buffer.data(), 1, buffer.size(), task.get()));  // the part is complete

  task->partStart = 32768;
  EXPECT_EQ(100u, ReadPartData(buffer.data(), 10, 10, task.get()));  // never more than asked
  EXPECT_EQ(content.size() - 32868, ReadPartData(buffer.data(), 1, buffer.size(), task.get()));
  EXPECT_TRUE(content.substr(32868) == buffer.substr(0, content.size() - 32868));
  EXPECT_EQ(content.size(), task->position);
  EXPECT_EQ(0u, ReadPartData(buffer.data(), 1, buffer.size(), task.get()));
}

TEST_F(ReadCallbackTest, StopAbortsBothReaders) {
  char buffer[16];
  task->stopRequested.store(true);
  EXPECT_EQ(static_cast<size_t>(CURL_READFUNC_ABORT), ReadPartData(buffer, 1, 16, task.get()));
  task->matchBuffer = std::make_unique<char[]>(10);
  task->matchLength = 10;
  EXPECT_EQ(static_cast<size_t>(CURL_READFUNC_ABORT), ReadMatchList(buffer, 1, 16, task.get()));
  EXPECT_EQ(0u, task->position);
}

TEST_F(ReadCallbackTest, MatchListIsReadInPiecesThenEnds) {
  char buffer[10];
  EXPECT_EQ(static_cast<size_t>(CURL_READFUNC_ABORT), ReadMatchList(buffer, 1, 10, task.get()));
  task->matchBuffer = std::make_unique<char[]>(25);
  for (int i = 0; i < 25; ++i) task->matchBuffer[i] = static_cast<char>(i);
  task->matchLength = 25;
  std::string read;
  for (size_t n; (n = ReadMatchList(buffer, 1, sizeof buffer, task.get())) != 0;) {
    ASSERT_LE(n, sizeof buffer);
    read.append(buffer, n);
  }
  EXPECT_EQ(std::string(task->matchBuffer.get(), 25), read);
  EXPECT_EQ(25, task->matchSendOffset);
}

TEST_F(ReadCallbackTest, UploadTotalFollowsTheSource) {
  EXPECT_EQ(content.size(), UploadTotal(*task));
  task->blockSize = 4096;  // a delta without its literal file yet
  EXPECT_EQ(0u, UploadTotal(*task));
  task->blockSize = 0;
  task->localFile.Close();
  task->fileSize = 77;
  EXPECT_EQ(77u, UploadTotal(*task));
}

}  // namespace
}  // namespace plumet

namespace plumet {
namespace {

// An "expect" no server of ours sends, in a 409 to the second part, run through the whole
// exchange: an offset past the content (or negative, read as one) is no licence to skip the
// parts. The engine sends nothing past what it had sent, the server refuses every finish
// (the size it names is not what it holds), the upload fails and nothing is stored.
TEST_F(UploadProtocolTest, ConflictNamingAnOffsetPastTheContentStoresNothing) {
  const std::string content = upload_test::RandomBytes(5 * 32768 + 17, 61);
  for (const char* expect :
       {"-1", "-32768", "1000000", "18446744073709551615", "99999999999999999999"}) {
    SCOPED_TRACE(expect);
    FakeUploadServer own;  // a server of its own for each value
    ASSERT_TRUE(own.Start());
    Prepare(content);
    task->uploadServerUrl = own.BaseUrl();
    Scripted first;
    first.status = 0;  // served as usual
    own.Push("/upload_part", first);
    own.Push("/upload_part",
             Answer(409, std::string("{\"error_code\":40900,\"expect\":\"") + expect + "\"}"));
    EXPECT_EQ(UploadOutcome::kFailed, RunUploadProtocol(*task));
    EXPECT_EQ(400, task->status);
    EXPECT_EQ((std::vector<std::string>{"0-32767", "32768-65535"}), Ranges(own));
    EXPECT_EQ(4, own.Count("/upload_finish"));
    EXPECT_FALSE(own.HasCommitted());
    task.reset();
  }
}

// A "piecelen" no server of ours sends (not a positive integer, or no block size its checksum
// list describes), run through the whole exchange: no delta is built on it, the content goes
// whole, and what is stored is exactly the local copy.
TEST_F(DeltaProtocolTest, InitNamingAnUnusableBlockSizeSendsTheContentWhole) {
  const std::string stored = upload_test::RandomBytes(16 * kBlock, 60);
  std::string edited = stored;
  edited[5 * kBlock] ^= 1;
  for (const char* piecelen : {"-1", "true", "\"4096\"", "1", "2147483648", "-4096"}) {
    SCOPED_TRACE(piecelen);
    FakeUploadServer own;  // a server of its own for each value
    ASSERT_TRUE(own.Start());
    own.SetStored(stored, kBlock);
    Prepare(edited);
    task->uploadServerUrl = own.BaseUrl();
    own.Push("/upload_init",
             Answer(200, std::string("{\"session\":\"s\",\"piecelen\":") + piecelen + "}"));
    EXPECT_EQ(UploadOutcome::kCompleted, RunUploadProtocol(*task));
    EXPECT_EQ((std::vector<std::string>{"0-32767", "32768-65535"}), Ranges(own));
    ASSERT_TRUE(own.HasCommitted());
    EXPECT_TRUE(edited == own.Committed()) << upload_test::Difference(edited, own.Committed());
    task.reset();
  }
}

}  // namespace
}  // namespace plumet
