// The upload engine end to end against a private zelmicd: the task registers the content through
// dorvic, sends it to zelmicd's upload server, and the test downloads the version zelmicd stored.
// Faults come from zelmicd's scripted answers.

#include <dorvic/dorvic.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/endpoints.h"
#include "tests/support/zelmic_process.h"
#include "tests/upload/upload_task_driver.h"
#include "tests/upload/upload_test_util.h"
#include "upload/upload_task.h"

namespace plumet {
namespace {

constexpr auto kPatience = std::chrono::seconds(60);
constexpr int kMount = 1;
constexpr uint32_t kBlock = 4096;  // zelmicd's smallest block size

class UploadZelmicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    upload_test::ClearProxyEnvironment();
    const std::string refresh = zelmic.AddUser("ann", {kMount});
    ASSERT_FALSE(refresh.empty());
    ASSERT_TRUE(zelmic.Start({"--faults"}));
    access = zelmic.AccessToken(refresh);
    ASSERT_FALSE(access.empty());
    dorvic_set_host(upload_test::Widen(zelmic.api_host()));
    dorvic_set_secret(upload_test::Widen(plumet_defaults::kClientSecret));
  }

  // Seeds the stored version of `remote` through zelmicd's admin command.
  void Seed(const std::string& remote, const std::string& content) {
    const std::string path = zelmic.tmp_dir() + "/seed.bin";
    ASSERT_TRUE(upload_test::WriteBytes(path, content));
    zelmic.Put(kMount, path, remote);
  }

  // A session in Editing whose local copy holds `content`, as the tick finds it after a save.
  std::unique_ptr<EditSession> MakeSession(const std::string& remote, const std::string& content,
                                           const std::string& name = "copy.bin") {
    auto session = std::make_unique<EditSession>();
    const std::string local = scratch.path() + "/" + name;
    EXPECT_TRUE(upload_test::WriteBytes(local, content));
    session->state = EditSessionState::Editing;
    session->mount = kMount;
    session->accessToken = upload_test::Widen(access);
    session->remotePath = upload_test::Widen(remote);
    session->localPath = upload_test::Widen(local);
    return session;
  }

  void StartUpload(EditSession& session) {
    ASSERT_TRUE(upload_test::StartUploadTask(session, lock));
  }

  EditSessionState WaitForOutcome(EditSession& session) {
    return upload_test::WaitForOutcome(session, lock, kPatience);
  }

  EditSessionState Upload(EditSession& session) {
    StartUpload(session);
    return WaitForOutcome(session);
  }

  // What zelmicd now serves for `remote`: its current version, downloaded from its "uri".
  std::string Stored(const std::string& remote) {
    dorvic_file_reget file;
    if (!dorvic_regetfile(upload_test::Widen(access), upload_test::Widen(remote), kMount, file)) {
      return "<no such file>";
    }
    const std::string uri(file.uri.begin(), file.uri.end());
    zelmic_test::HttpResult r = zelmic_test::HttpRequest("GET", uri);
    return r.status == 200 ? r.body : "<download failed>";
  }

  static uint64_t BytesSent(EditSession& session) {
    auto* task = dynamic_cast<CUploadTask*>(session.task.get());
    return task != nullptr ? task->bodyBytesSent : 0;
  }

  bool Script(const std::string& endpoint, int status, const std::string& body = "",
              bool server = true) {
    std::string json = "{\"endpoint\":\"" + endpoint +
                       "\",\"kind\":\"status\",\"status\":" + std::to_string(status) +
                       ",\"body\":\"" + body + "\"";
    if (server) json += ",\"server\":\"ZELMIC\"";
    return zelmic.Script(json + "}");
  }

  upload_test::ScratchDir scratch;
  zelmic_test::ZelmicProcess zelmic;
  std::recursive_mutex lock;
  std::string access;
};

TEST_F(UploadZelmicTest, WholeUploadStoresTheBytes) {
  const std::string content = upload_test::RandomBytes(100000, 31);
  auto session = MakeSession("/docs/new file.bin", content);
  ASSERT_EQ(EditSessionState::Uploaded, Upload(*session));
  EXPECT_TRUE(content == Stored("/docs/new file.bin"))
      << upload_test::Difference(content, Stored("/docs/new file.bin"));
  EXPECT_EQ(content.size(), BytesSent(*session));
}

TEST_F(UploadZelmicTest, DeltaUploadSendsOnlyTheChangedBlocks) {
  const std::string stored = upload_test::RandomBytes(64 * kBlock + 123, 32);
  Seed("/docs/a.bin", stored);
  std::string edited = stored;
  edited.replace(20 * kBlock + 5, 100, std::string(100, 'x'));
  edited.insert(50 * kBlock, "inserted bytes");
  auto session = MakeSession("/docs/a.bin", edited);
  ASSERT_EQ(EditSessionState::Uploaded, Upload(*session));
  EXPECT_TRUE(edited == Stored("/docs/a.bin"))
      << upload_test::Difference(edited, Stored("/docs/a.bin"));
  EXPECT_LT(BytesSent(*session), edited.size() / 8);
  // The literal file went with the task.
  const std::string literal = scratch.path() + "/" +
                              std::string(session->fileHash.begin(), session->fileHash.end()) +
                              ".tmp";
  session->task.reset();
  EXPECT_FALSE(upload_test::Exists(literal));
}

// Bytes zelmicd has read through file reads so far (all its threads).
uint64_t ReadBytes(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return 0;
}

TEST_F(UploadZelmicTest, TheFinishReadsTheContentOncePerPass) {
  // Passes over the file zelmicd makes to take an upload: none for a whole upload (its parts are
  // hashed as they are written); for a delta, one over the stored copy to describe it and one to
  // rebuild and hash at once; the rebuild alone when the stored copy's checksum list was kept, as
  // zelmicd does ahead for a large content it was sent. The store takes the content as the upload
  // server hashed it.
  struct Case {
    const char* remote;
    bool delta;
    bool kept;
    int passes;
  };
  for (const Case& c : {Case{"/docs/whole.bin", false, false, 0},
                        Case{"/docs/delta.bin", true, false, 2},
                        Case{"/docs/kept.bin", true, true, 1}}) {
    SCOPED_TRACE(c.remote);
    // Lists are kept ahead from 8 MiB on; every measured content is smaller, so no such work runs
    // while it is measured.
    std::string stored = upload_test::RandomBytes((c.kept ? 2100 : 1024) * kBlock, 40);
    if (c.delta) Seed(c.remote, stored);
    if (c.kept) {
      // A first edit commits the version the measured one is based on.
      stored[7 * kBlock] ^= 1;
      auto first = MakeSession(c.remote, stored, "first.bin");
      ASSERT_EQ(EditSessionState::Uploaded, Upload(*first));
      const std::string hash(first->fileHash.begin(), first->fileHash.end());
      const std::string kept = zelmic.dir() + "/sums/" + hash.substr(0, 2) + "/" + hash + "-" +
                               std::to_string(kBlock);
      for (int i = 0; i < 600 && !upload_test::Exists(kept); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      ASSERT_TRUE(upload_test::Exists(kept));
      stored.resize(2000 * kBlock);
    }
    std::string content = c.delta ? stored : upload_test::RandomBytes(stored.size(), 41);
    content[100 * kBlock] ^= 1;
    auto session = MakeSession(c.remote, content, c.delta ? "delta.bin" : "whole.bin");
    const uint64_t before = ReadBytes(zelmic.pid());
    ASSERT_EQ(EditSessionState::Uploaded, Upload(*session));
    const double passes =
        static_cast<double>(ReadBytes(zelmic.pid()) - before) / static_cast<double>(content.size());
    EXPECT_GT(passes, c.passes - 0.1);
    EXPECT_LT(passes, c.passes + 0.5);
    EXPECT_EQ(c.delta, BytesSent(*session) < content.size() / 8);
  }
}

TEST_F(UploadZelmicTest, InitAnswered202LeavesTheStoredVersion) {
  Seed("/docs/a.bin", "old content");
  ASSERT_TRUE(Script("/upload_init", 202));
  auto session = MakeSession("/docs/a.bin", "new content");
  ASSERT_EQ(EditSessionState::Uploaded, Upload(*session));
  EXPECT_EQ(0u, BytesSent(*session));
  EXPECT_EQ("old content", Stored("/docs/a.bin"));
}

TEST_F(UploadZelmicTest, UnauthorizedQueryThenSuccess) {
  const std::string content = upload_test::RandomBytes(70000, 33);
  ASSERT_TRUE(Script("/upload_req", 401));
  auto session = MakeSession("/docs/b.bin", content);
  ASSERT_EQ(EditSessionState::Uploaded, Upload(*session));
  EXPECT_TRUE(content == Stored("/docs/b.bin"))
      << upload_test::Difference(content, Stored("/docs/b.bin"));
}

TEST_F(UploadZelmicTest, ConflictSendsTheEngineToTheServersOffset) {
  const std::string content = upload_test::RandomBytes(5 * 32768 + 17, 34);
  // The second part is refused as if the server held nothing: the engine resends from 0, zelmicd
  // answers the first byte it really lacks, and the engine goes on from there.
  ASSERT_TRUE(zelmic.Script("{\"endpoint\":\"/upload_part\",\"kind\":\"stall\",\"stall_ms\":1}"));
  ASSERT_TRUE(zelmic.Script(
      "{\"endpoint\":\"/upload_part\",\"kind\":\"status\",\"status\":409,\"server\":\"ZELMIC\","
      "\"body\":\"{\\\"error_code\\\":40900,\\\"expect\\\":\\\"0\\\"}\"}"));
  auto session = MakeSession("/docs/c.bin", content);
  ASSERT_EQ(EditSessionState::Uploaded, Upload(*session));
  EXPECT_TRUE(content == Stored("/docs/c.bin"))
      << upload_test::Difference(content, Stored("/docs/c.bin"));
  // One part twice (the one sent again from 0) at most, plus the refused one.
  EXPECT_LE(BytesSent(*session), content.size() + 2 * 32768);
}

TEST_F(UploadZelmicTest, RefusedDeltaFailsAndTheNextUploadGoesWhole) {
  const std::string stored = upload_test::RandomBytes(16 * kBlock, 35);
  Seed("/docs/d.bin", stored);
  std::string edited = stored;
  edited[3 * kBlock] ^= 1;
  ASSERT_TRUE(Script("/download_checksum", 205));
  auto session = MakeSession("/docs/d.bin", edited);
  ASSERT_EQ(EditSessionState::Failed, Upload(*session));
  EXPECT_EQ(1, session->deltaRefused);
  EXPECT_TRUE(stored == Stored("/docs/d.bin"))
      << upload_test::Difference(stored, Stored("/docs/d.bin"));

  {
    std::lock_guard<std::recursive_mutex> guard(lock);
    session->task.reset();
  }
  ASSERT_EQ(EditSessionState::Uploaded, Upload(*session));
  EXPECT_EQ(edited.size(), BytesSent(*session));  // whole, no delta
  EXPECT_TRUE(edited == Stored("/docs/d.bin"))
      << upload_test::Difference(edited, Stored("/docs/d.bin"));
}

TEST_F(UploadZelmicTest, FiveFailedPartsFailAndKeepTheOldVersion) {
  Seed("/docs/e.bin", "old");
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Script("/upload_part", 503));
  auto session = MakeSession("/docs/e.bin", upload_test::RandomBytes(50000, 36));
  ASSERT_EQ(EditSessionState::Failed, Upload(*session));
  EXPECT_EQ("old", Stored("/docs/e.bin"));
}

TEST_F(UploadZelmicTest, FourFailedPartsAreRetried) {
  const std::string content = upload_test::RandomBytes(50000, 37);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(Script("/upload_part", 503));
  auto session = MakeSession("/docs/f.bin", content);
  ASSERT_EQ(EditSessionState::Uploaded, Upload(*session));
  EXPECT_TRUE(content == Stored("/docs/f.bin"))
      << upload_test::Difference(content, Stored("/docs/f.bin"));
}

TEST_F(UploadZelmicTest, PartAnswered202GoesToTheFinish) {
  Seed("/docs/g.bin", "old");
  ASSERT_TRUE(zelmic.Script("{\"endpoint\":\"/upload_part\",\"kind\":\"stall\",\"stall_ms\":1}"));
  ASSERT_TRUE(Script("/upload_part", 202));
  auto session = MakeSession("/docs/g.bin", upload_test::RandomBytes(3 * 32768, 38));
  // zelmicd holds only the first part when the finish comes: it refuses to commit, so the
  // upload fails and the old version stays.
  ASSERT_EQ(EditSessionState::Failed, Upload(*session));
  EXPECT_LE(BytesSent(*session), 2u * 32768);  // the third part never left
  EXPECT_EQ("old", Stored("/docs/g.bin"));
}

TEST_F(UploadZelmicTest, MissingServerHeaderFails) {
  Seed("/docs/h.bin", "old");
  ASSERT_TRUE(Script("/upload_init", 200, "{\\\"session\\\":\\\"x\\\",\\\"piecelen\\\":0}", false));
  auto session = MakeSession("/docs/h.bin", "new");
  ASSERT_EQ(EditSessionState::Failed, Upload(*session));
  EXPECT_EQ(0u, BytesSent(*session));
  EXPECT_EQ("old", Stored("/docs/h.bin"));
}

TEST_F(UploadZelmicTest, StopWhilePartsAreSentLeavesTheSessionAndTheVersion) {
  Seed("/docs/i.bin", "old");
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(
        zelmic.Script("{\"endpoint\":\"/upload_part\",\"kind\":\"stall\",\"stall_ms\":20}"));
  }
  auto session = MakeSession("/docs/i.bin", upload_test::RandomBytes(64 * 32768, 39));
  StartUpload(*session);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  {
    std::lock_guard<std::recursive_mutex> guard(lock);
    session->task.reset();
    EXPECT_EQ(EditSessionState::Uploading, session->state);
  }
  EXPECT_EQ("old", Stored("/docs/i.bin"));

  // A new task for the same content goes on with what zelmicd already holds.
  const std::string content = upload_test::ReadAll(scratch.path() + "/copy.bin");
  ASSERT_TRUE(zelmic.ClearScript());
  ASSERT_EQ(EditSessionState::Uploaded, Upload(*session));
  EXPECT_TRUE(content == Stored("/docs/i.bin"))
      << upload_test::Difference(content, Stored("/docs/i.bin"));
}

TEST_F(UploadZelmicTest, TwoSessionsUploadSideBySide) {
  const std::string a = upload_test::RandomBytes(300000, 40);
  const std::string b = upload_test::RandomBytes(200000, 41);
  auto first = MakeSession("/docs/one.bin", a, "one.bin");
  auto second = MakeSession("/docs/two.bin", b, "two.bin");
  StartUpload(*first);
  StartUpload(*second);
  EXPECT_EQ(EditSessionState::Uploaded, WaitForOutcome(*first));
  EXPECT_EQ(EditSessionState::Uploaded, WaitForOutcome(*second));
  EXPECT_TRUE(a == Stored("/docs/one.bin")) << upload_test::Difference(a, Stored("/docs/one.bin"));
  EXPECT_TRUE(b == Stored("/docs/two.bin")) << upload_test::Difference(b, Stored("/docs/two.bin"));
}

}  // namespace
}  // namespace plumet
