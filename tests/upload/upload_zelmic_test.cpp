// The upload engine end to end against a private zelmicd: the task registers the content through
// dorvic, sends it to zelmicd's upload server, and the test downloads the version zelmicd stored.
// Faults come from zelmicd's scripted answers.

#include <dorvic/dorvic.h>
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/endpoints.h"
#include "tests/support/zelmic_process.h"
#include "tests/upload/upload_task_driver.h"
#include "tests/upload/upload_test_util.h"
#include "upload/digests.h"
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

  // A job whose source file holds `content`, as an owner hands it over after a save.
  UploadJob MakeJob(const std::string& remote, const std::string& content,
                    const std::string& name = "copy.bin") {
    UploadJob job;
    job.sourcePath = scratch.path() + "/" + name;
    EXPECT_TRUE(upload_test::WriteBytes(job.sourcePath, content));
    job.mount = kMount;
    job.accessToken = upload_test::Widen(access);
    job.remotePath = upload_test::Widen(remote);
    return job;
  }

  UploadEnd Upload(upload_test::UploadRun& owner, const UploadJob& job) {
    return owner.Run(job, kPatience).end;
  }

  // What zelmicd now serves for `remote`: its current version, downloaded from its "uri".
  std::string Stored(const std::string& remote) { return Stored(upload_test::Widen(remote)); }
  std::string Stored(const std::wstring& remote) {
    dorvic_file_reget file;
    if (!dorvic_regetfile(upload_test::Widen(access), remote, kMount, file)) {
      return "<no such file>";
    }
    const std::string uri(file.uri.begin(), file.uri.end());
    zelmic_test::HttpResult r = zelmic_test::HttpRequest("GET", uri);
    return r.status == 200 ? r.body : "<download failed>";
  }

  bool Script(const std::string& endpoint, int status, const std::string& body = "",
              bool server = true) {
    std::string json = "{\"endpoint\":\"" + endpoint +
                       "\",\"kind\":\"status\",\"status\":" + std::to_string(status) +
                       ",\"body\":\"" + body + "\"";
    if (server) json += ",\"server\":\"ZELMIC\"";
    return zelmic.Script(json + "}");
  }

  plumet_test::ScratchDir scratch;
  zelmic_test::ZelmicProcess zelmic;
  std::string access;
  upload_test::UploadRun run;  // its task goes before the service
};

TEST_F(UploadZelmicTest, WholeUploadStoresTheBytes) {
  const std::string content = upload_test::RandomBytes(100000, 31);
  const UploadJob job = MakeJob("/docs/new file.bin", content);
  ASSERT_EQ(UploadEnd::kStored, Upload(run, job));
  EXPECT_TRUE(content == Stored("/docs/new file.bin"))
      << upload_test::Difference(content, Stored("/docs/new file.bin"));
  EXPECT_EQ(content.size(), run.BytesSent());
}

TEST_F(UploadZelmicTest, DeltaUploadSendsOnlyTheChangedBlocks) {
  const std::string stored = upload_test::RandomBytes(64 * kBlock + 123, 32);
  Seed("/docs/a.bin", stored);
  std::string edited = stored;
  edited.replace(20 * kBlock + 5, 100, std::string(100, 'x'));
  edited.insert(50 * kBlock, "inserted bytes");
  const UploadJob job = MakeJob("/docs/a.bin", edited);
  const UploadReport report = run.Run(job, kPatience);
  ASSERT_EQ(UploadEnd::kStored, report.end);
  EXPECT_TRUE(report.delta);
  EXPECT_TRUE(edited == Stored("/docs/a.bin"))
      << upload_test::Difference(edited, Stored("/docs/a.bin"));
  EXPECT_LT(run.BytesSent(), edited.size() / 8);
  // The literal file went with the task.
  const std::string literal =
      scratch.path() + "/" + std::string(report.fileHash.begin(), report.fileHash.end()) + ".tmp";
  run.Stop();
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
  for (const Case& c :
       {Case{"/docs/whole.bin", false, false, 0}, Case{"/docs/delta.bin", true, false, 2},
        Case{"/docs/kept.bin", true, true, 1}}) {
    SCOPED_TRACE(c.remote);
    // Lists are kept ahead from 8 MiB on; every measured content is smaller, so no such work runs
    // while it is measured.
    std::string stored = upload_test::RandomBytes((c.kept ? 2100 : 1024) * kBlock, 40);
    if (c.delta) Seed(c.remote, stored);
    if (c.kept) {
      // A first edit commits the version the measured one is based on.
      stored[7 * kBlock] ^= 1;
      upload_test::UploadRun firstRun;
      const UploadReport first = firstRun.Run(MakeJob(c.remote, stored, "first.bin"), kPatience);
      ASSERT_EQ(UploadEnd::kStored, first.end);
      const std::string hash(first.fileHash.begin(), first.fileHash.end());
      const std::string kept =
          zelmic.dir() + "/sums/" + hash.substr(0, 2) + "/" + hash + "-" + std::to_string(kBlock);
      for (int i = 0; i < 600 && !upload_test::Exists(kept); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      ASSERT_TRUE(upload_test::Exists(kept));
      stored.resize(2000 * kBlock);
    }
    std::string content = c.delta ? stored : upload_test::RandomBytes(stored.size(), 41);
    content[100 * kBlock] ^= 1;
    const UploadJob job = MakeJob(c.remote, content, c.delta ? "delta.bin" : "whole.bin");
    const uint64_t before = ReadBytes(zelmic.pid());
    ASSERT_EQ(UploadEnd::kStored, Upload(run, job));
    const double passes =
        static_cast<double>(ReadBytes(zelmic.pid()) - before) / static_cast<double>(content.size());
    EXPECT_GT(passes, c.passes - 0.1);
    EXPECT_LT(passes, c.passes + 0.5);
    EXPECT_EQ(c.delta, run.BytesSent() < content.size() / 8);
  }
}

TEST_F(UploadZelmicTest, InitAnswered202LeavesTheStoredVersion) {
  Seed("/docs/a.bin", "old content");
  ASSERT_TRUE(Script("/upload_init", 202));
  const UploadJob job = MakeJob("/docs/a.bin", "new content");
  ASSERT_EQ(UploadEnd::kStored, Upload(run, job));
  EXPECT_EQ(0u, run.BytesSent());
  EXPECT_EQ("old content", Stored("/docs/a.bin"));
}

TEST_F(UploadZelmicTest, UnauthorizedQueryThenSuccess) {
  const std::string content = upload_test::RandomBytes(70000, 33);
  ASSERT_TRUE(Script("/upload_req", 401));
  const UploadJob job = MakeJob("/docs/b.bin", content);
  ASSERT_EQ(UploadEnd::kStored, Upload(run, job));
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
  const UploadJob job = MakeJob("/docs/c.bin", content);
  ASSERT_EQ(UploadEnd::kStored, Upload(run, job));
  EXPECT_TRUE(content == Stored("/docs/c.bin"))
      << upload_test::Difference(content, Stored("/docs/c.bin"));
  // One part twice (the one sent again from 0) at most, plus the refused one.
  EXPECT_LE(run.BytesSent(), content.size() + 2 * 32768);
}

TEST_F(UploadZelmicTest, RefusedDeltaGoesWholeAndTheNextUploadToo) {
  struct Case {
    const char* remote;
    const char* refusedAt;
    bool matchListSent;
  };
  for (const Case& c : {Case{"/docs/d1.bin", "/download_checksum", false},
                        Case{"/docs/d2.bin", "/upload_checksum_result", true}}) {
    SCOPED_TRACE(c.refusedAt);
    // Contents of their own: the service would take a content it holds elsewhere without a
    // transfer.
    const std::string stored = upload_test::RandomBytes(16 * kBlock, c.matchListSent ? 36 : 35);
    Seed(c.remote, stored);
    std::string edited = stored;
    edited[3 * kBlock] ^= 1;
    ASSERT_TRUE(Script(c.refusedAt, 205));
    UploadJob job = MakeJob(c.remote, edited);
    const UploadReport report = run.Run(job, kPatience);
    ASSERT_EQ(UploadEnd::kStored, report.end);
    EXPECT_TRUE(report.deltaRefused);
    EXPECT_FALSE(report.delta);
    // The whole content, after the match list when that went before the refusal.
    EXPECT_EQ(c.matchListSent, run.BytesSent() > edited.size());
    EXPECT_GE(run.BytesSent(), edited.size());
    EXPECT_TRUE(edited == Stored(c.remote)) << upload_test::Difference(edited, Stored(c.remote));

    // The owner hands the refusal on: the next save goes whole without asking for checksums.
    edited[5 * kBlock] ^= 1;
    job = MakeJob(c.remote, edited);
    job.deltaRefused = report.deltaRefused;
    ASSERT_EQ(UploadEnd::kStored, Upload(run, job));
    EXPECT_EQ(edited.size(), run.BytesSent());  // whole, no delta
    EXPECT_TRUE(edited == Stored(c.remote)) << upload_test::Difference(edited, Stored(c.remote));
  }
}

// Before registering, a job that names the versions it was based on finds out whether somebody
// stored another one meanwhile; then its content goes beside the file and overwrites nothing.
TEST_F(UploadZelmicTest, ConflictCheckStoresBesideANewerVersion) {
  const std::string base = "the version the edit started from";
  const std::string theirs = "a colleague's newer version";
  const std::string mine = "my edited version";
  const std::string baseHash = HashFileSha1(MakeJob("/x", base, "base.txt").sourcePath);
  std::string upperBase = baseHash;
  for (char& ch : upperBase) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  struct Case {
    const char* remote;
    const char* seeded;  // null: the file does not exist on the service
    std::string expected;
    bool checkFails;
    UploadEnd end;
    bool conflict;
  };
  const std::vector<Case> cases = {
      {"/docs/n1.txt", theirs.c_str(), baseHash, false, UploadEnd::kStored, true},
      {"/docs/n2.txt", base.c_str(), upperBase, false, UploadEnd::kStored, false},
      {"/docs/n3.txt", nullptr, baseHash, false, UploadEnd::kStored, false},
      {"/docs/n4.txt", base.c_str(), baseHash, true, UploadEnd::kRetry, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.remote);
    if (c.seeded != nullptr) Seed(c.remote, c.seeded);
    if (c.checkFails) {
      ASSERT_TRUE(Script("api:GET", 503));
    }
    UploadJob job = MakeJob(c.remote, mine);
    job.expectedRemoteHashes = {L"0000000000000000000000000000000000000000",
                                upload_test::Widen(c.expected)};
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const UploadReport report = run.Run(job, kPatience);
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_EQ(c.end, report.end);
    EXPECT_EQ(c.conflict, report.conflict);
    const std::string original = c.seeded != nullptr ? c.seeded : "<no such file>";
    if (c.conflict) {
      EXPECT_TRUE(report.storedPath == ConflictCopyPath(job.remotePath, before) ||
                  report.storedPath == ConflictCopyPath(job.remotePath, after));
      EXPECT_EQ(mine, Stored(report.storedPath));
      EXPECT_EQ(original, Stored(c.remote));  // untouched
    } else if (c.end == UploadEnd::kStored) {
      EXPECT_EQ(job.remotePath, report.storedPath);
      EXPECT_EQ(mine, Stored(c.remote));
    } else {
      EXPECT_EQ(0u, run.BytesSent());
      EXPECT_EQ(original, Stored(c.remote));
    }
  }
}

TEST_F(UploadZelmicTest, FiveFailedPartsFailAndKeepTheOldVersion) {
  Seed("/docs/e.bin", "old");
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Script("/upload_part", 503));
  const UploadJob job = MakeJob("/docs/e.bin", upload_test::RandomBytes(50000, 36));
  ASSERT_EQ(UploadEnd::kRetry, Upload(run, job));
  EXPECT_EQ("old", Stored("/docs/e.bin"));
}

TEST_F(UploadZelmicTest, FourFailedPartsAreRetried) {
  const std::string content = upload_test::RandomBytes(50000, 37);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(Script("/upload_part", 503));
  const UploadJob job = MakeJob("/docs/f.bin", content);
  ASSERT_EQ(UploadEnd::kStored, Upload(run, job));
  EXPECT_TRUE(content == Stored("/docs/f.bin"))
      << upload_test::Difference(content, Stored("/docs/f.bin"));
}

TEST_F(UploadZelmicTest, PartAnswered202GoesToTheFinish) {
  Seed("/docs/g.bin", "old");
  ASSERT_TRUE(zelmic.Script("{\"endpoint\":\"/upload_part\",\"kind\":\"stall\",\"stall_ms\":1}"));
  ASSERT_TRUE(Script("/upload_part", 202));
  const UploadJob job = MakeJob("/docs/g.bin", upload_test::RandomBytes(3 * 32768, 38));
  // zelmicd holds only the first part when the finish comes: it refuses to commit, so the
  // upload fails and the old version stays.
  ASSERT_EQ(UploadEnd::kRetry, Upload(run, job));
  EXPECT_LE(run.BytesSent(), 2u * 32768);  // the third part never left
  EXPECT_EQ("old", Stored("/docs/g.bin"));
}

TEST_F(UploadZelmicTest, MissingServerHeaderFails) {
  Seed("/docs/h.bin", "old");
  ASSERT_TRUE(Script("/upload_init", 200, "{\\\"session\\\":\\\"x\\\",\\\"piecelen\\\":0}", false));
  const UploadJob job = MakeJob("/docs/h.bin", "new");
  ASSERT_EQ(UploadEnd::kRetry, Upload(run, job));
  EXPECT_EQ(0u, run.BytesSent());
  EXPECT_EQ("old", Stored("/docs/h.bin"));
}

TEST_F(UploadZelmicTest, StopWhilePartsAreSentLeavesTheSessionAndTheVersion) {
  constexpr uint64_t kPart = 32768;
  Seed("/docs/i.bin", "old");
  // Four parts go through; the fifth is held by zelmicd (read whole, not yet stored) long enough
  // for the task to be stopped while it waits for that answer.
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(zelmic.Script("{\"endpoint\":\"/upload_part\",\"kind\":\"stall\",\"stall_ms\":0}"));
  }
  ASSERT_TRUE(
      zelmic.Script("{\"endpoint\":\"/upload_part\",\"kind\":\"stall\",\"stall_ms\":2000}"));
  const std::string content = upload_test::RandomBytes(64 * kPart, 39);
  const UploadJob job = MakeJob("/docs/i.bin", content);
  ASSERT_TRUE(run.Start(job));
  ASSERT_TRUE(zelmic.WaitScriptTaken("/upload_part", 30000));
  run.Stop();
  EXPECT_EQ(0u, run.ReportCount());  // nothing told to the owner that stopped it
  EXPECT_EQ("old", Stored("/docs/i.bin"));

  // A new task registers again, which opens a new upload session (every registration has its own
  // path hash): the half-sent session is left to expire, and the new one stores the content whole.
  ASSERT_TRUE(zelmic.ClearScript());
  ASSERT_EQ(UploadEnd::kStored, Upload(run, job));
  EXPECT_TRUE(content == Stored("/docs/i.bin"))
      << upload_test::Difference(content, Stored("/docs/i.bin"));
}

TEST_F(UploadZelmicTest, TwoSessionsUploadSideBySide) {
  const std::string a = upload_test::RandomBytes(300000, 40);
  const std::string b = upload_test::RandomBytes(200000, 41);
  upload_test::UploadRun second;
  ASSERT_TRUE(run.Start(MakeJob("/docs/one.bin", a, "one.bin")));
  ASSERT_TRUE(second.Start(MakeJob("/docs/two.bin", b, "two.bin")));
  EXPECT_EQ(UploadEnd::kStored, run.Wait(kPatience).end);
  EXPECT_EQ(UploadEnd::kStored, second.Wait(kPatience).end);
  EXPECT_TRUE(a == Stored("/docs/one.bin")) << upload_test::Difference(a, Stored("/docs/one.bin"));
  EXPECT_TRUE(b == Stored("/docs/two.bin")) << upload_test::Difference(b, Stored("/docs/two.bin"));
}

}  // namespace
}  // namespace plumet
