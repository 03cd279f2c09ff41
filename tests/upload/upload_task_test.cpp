// The upload task on its own thread: registration with the service, the report it tells its
// observer under the owner's lock, how that report classifies a failure, and destruction while it
// runs.

#include "upload/upload_task.h"

#include <dorvic/dorvic.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/endpoints.h"
#include "tests/upload/fake_upload_server.h"
#include "tests/upload/upload_task_driver.h"
#include "tests/upload/upload_test_util.h"
#include "upload/upload_worker.h"

namespace plumet {
namespace {

using upload_test::FakeUploadServer;
using upload_test::Scripted;

constexpr auto kPatience = std::chrono::seconds(20);

void PointDorvicAt(const FakeUploadServer& server) {
  dorvic_set_host(upload_test::Widen(server.Host()));
  dorvic_set_secret(upload_test::Widen(plumet_defaults::kClientSecret));
}

UploadJob JobFor(const std::string& sourcePath) {
  UploadJob job;
  job.mount = 1;
  job.accessToken = L"access-token";
  job.remotePath = L"/docs/report.bin";
  job.sourcePath = sourcePath;
  return job;
}

int UploadRequests(const FakeUploadServer& server) {
  int n = 0;
  for (const auto& r : server.Requests()) n += r.path.rfind("/upload_", 0) == 0 ? 1 : 0;
  return n;
}

class UploadTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    upload_test::ClearProxyEnvironment();
    ASSERT_FALSE(scratch.path().empty());
    ASSERT_TRUE(server.Start());
    PointDorvicAt(server);
    localPath = scratch.path() + "/copy.bin";
    job = JobFor(localPath);
  }

  void StartUpload() { ASSERT_TRUE(run.Start(job)); }
  UploadReport WaitForReport() { return run.Wait(kPatience); }

  template <typename Pred>
  bool WaitUntil(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  plumet_test::ScratchDir scratch;
  FakeUploadServer server;
  std::string localPath;
  UploadJob job;
  upload_test::UploadRun run;  // holds the task: destroyed before the server
};

Scripted Status(unsigned status, bool serverHeader = true) {
  Scripted answer;
  answer.status = status;
  answer.serverHeader = serverHeader;
  return answer;
}

TEST_F(UploadTaskTest, UploadsTheFileAndReportsItStored) {
  const std::string content = upload_test::RandomBytes(100000, 21);
  ASSERT_TRUE(upload_test::WriteBytes(localPath, content));
  StartUpload();
  const UploadReport report = WaitForReport();
  ASSERT_EQ(UploadEnd::kStored, report.end);
  EXPECT_TRUE(content == server.Committed())
      << upload_test::Difference(content, server.Committed());
  EXPECT_EQ(40u, report.fileHash.size());
  EXPECT_EQ(content.size(), report.fileSize);
  EXPECT_EQ(L"ph-1", report.uploadHash);
  EXPECT_EQ(L"/docs/report.bin", report.storedPath);
  EXPECT_FALSE(report.conflict);
  EXPECT_EQ(content.size(), report.bytesSent);
  const auto requests = server.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ("PUT", requests[0].method);
  EXPECT_EQ(std::string(report.fileHash.begin(), report.fileHash.end()),
            requests[0].Header("x-zm-filehash"));
  EXPECT_EQ("100000", requests[0].Header("x-zm-filesize"));
  EXPECT_EQ("0", requests[0].Header("x-zm-version"));
  EXPECT_EQ("ph-1", requests[1].Header("x-zm-upload-pathhash"));
}

TEST_F(UploadTaskTest, ContentTheServiceHoldsIsNotSent) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, "same as stored"));
  server.SetAddFileState(1);
  StartUpload();
  const UploadReport report = WaitForReport();
  EXPECT_EQ(UploadEnd::kStored, report.end);
  EXPECT_TRUE(report.alreadyStored);
  EXPECT_EQ(0, UploadRequests(server));
}

TEST_F(UploadTaskTest, DeletedFileFailsWhenItIsToBeOpened) {
  StartUpload();  // no source file at all
  const UploadReport report = WaitForReport();
  EXPECT_EQ(UploadEnd::kRetry, report.end);
  EXPECT_TRUE(report.fileHash.empty());
  EXPECT_EQ(0u, report.fileSize);
  EXPECT_EQ(0, UploadRequests(server));
}

TEST_F(UploadTaskTest, NoHashNoLiteralFile) {
  // Without a hash the literal file would be "<folder>/.tmp": a name anybody may have used.
  const std::string stranger = scratch.path() + "/.tmp";
  ASSERT_TRUE(upload_test::WriteBytes(stranger, "not ours"));
  {
    std::recursive_mutex lock;
    CUploadTask task(job, lock, nullptr);
    task.blockSize = 4096;
    EXPECT_FALSE(task.PrepareDelta());
  }
  EXPECT_EQ("not ours", upload_test::ReadAll(stranger));
}

TEST_F(UploadTaskTest, KnownHashIsNotComputedAgain) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, "abc"));
  job.fileHash = L"0123456789012345678901234567890123456789";
  server.SetAddFileState(1);
  StartUpload();
  EXPECT_EQ(UploadEnd::kStored, WaitForReport().end);
  EXPECT_EQ("0123456789012345678901234567890123456789",
            server.Requests().at(0).Header("x-zm-filehash"));
}

TEST_F(UploadTaskTest, DestructionWhilePartsAreSentStopsTheWorker) {
  const std::string content = upload_test::RandomBytes(64 * 32768, 22);
  ASSERT_TRUE(upload_test::WriteBytes(localPath, content));
  server.SetPartDelayMs(5);
  StartUpload();
  ASSERT_TRUE(WaitUntil([&] { return server.Count("/upload_part") >= 3; }));
  run.Stop();
  const int parts = server.Count("/upload_part");
  EXPECT_LT(parts, 64);
  EXPECT_EQ(0, server.Count("/upload_finish"));
  EXPECT_FALSE(server.HasCommitted());
  EXPECT_EQ(0u, run.ReportCount());  // nothing told to the owner that stopped it
}

TEST_F(UploadTaskTest, DestructionDoesNotWaitForAStalledAnswer) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, "abc"));
  server.StallNext("/upload_init", 2000);
  StartUpload();
  // The worker has registered and sent "/upload_init", and waits for its answer.
  ASSERT_TRUE(WaitUntil([&] { return server.StallsBegun() == 1; }));
  ASSERT_EQ(0, server.Count("/upload_init"));  // not answered yet
  const auto before = std::chrono::steady_clock::now();
  run.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
  EXPECT_EQ(0u, run.ReportCount());
}

TEST_F(UploadTaskTest, OwnerHoldingTheLockCanStopAFinishingWorker) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, upload_test::RandomBytes(5000, 23)));
  std::unique_lock<std::recursive_mutex> held(run.lock());
  ASSERT_TRUE(run.Start(job));
  // The worker completes the upload and then waits for the lock that this thread holds.
  ASSERT_TRUE(WaitUntil([&] { return server.HasCommitted(); }));
  // threadDone is set just before the worker starts trying for the lock.
  ASSERT_TRUE(WaitUntil([&] { return run.task()->threadDone.load(); }));
  run.Stop();  // must neither deadlock nor let the worker tell anything afterwards
  EXPECT_EQ(0u, run.ReportCount());
}

TEST_F(UploadTaskTest, FinishedTaskIsDestroyedWithoutWaiting) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, "abc"));
  StartUpload();
  ASSERT_EQ(UploadEnd::kStored, WaitForReport().end);
  const auto before = std::chrono::steady_clock::now();
  run.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
}

// How each way an upload can end reaches the owner.
TEST(UploadReportEnd, ClassifiesTheOutcome) {
  upload_test::ClearProxyEnvironment();
  struct Case {
    const char* name;
    const char* path;  // where the scripted answers go ("PUT": the registration)
    Scripted answer;
    int times;
    UploadEnd end;
    int32_t status;
    bool committed;
  };
  const std::vector<Case> cases = {
      {"success", "", {}, 0, UploadEnd::kStored, 200, true},
      {"init 503 each time", "/upload_init", Status(503), 6, UploadEnd::kRetry, 503, false},
      {"init 500", "/upload_init", Status(500), 1, UploadEnd::kRetry, 500, false},
      {"init 403 each time", "/upload_init", Status(403), 6, UploadEnd::kPermanent, 403, false},
      {"init 401 each time", "/upload_init", Status(401), 6, UploadEnd::kPermanent, 401, false},
      {"bare 202 to init", "/upload_init", Status(202, false), 1, UploadEnd::kRetry, 500, false},
      {"registration 403", "PUT", Status(403), 1, UploadEnd::kPermanent, 403, false},
      {"registration 503", "PUT", Status(503), 1, UploadEnd::kRetry, 503, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plumet_test::ScratchDir scratch;
    FakeUploadServer server;
    ASSERT_TRUE(server.Start());
    PointDorvicAt(server);
    for (int i = 0; i < c.times; ++i) server.Push(c.path, c.answer);
    const std::string path = scratch.path() + "/copy.bin";
    ASSERT_TRUE(upload_test::WriteBytes(path, upload_test::RandomBytes(5000, 25)));
    upload_test::UploadRun run;
    const UploadReport report = run.Run(JobFor(path), kPatience);
    EXPECT_EQ(c.end, report.end);
    EXPECT_EQ(c.status, report.status);
    EXPECT_FALSE(report.cause.empty());
    EXPECT_EQ(std::string::npos, report.cause.find("access-token"));
    EXPECT_EQ(c.committed, server.HasCommitted());
    if (std::string(c.path) == "PUT") {
      EXPECT_EQ(0, UploadRequests(server));
    }
  }
}

// Records the reports it is told.
class Recorder : public UploadObserver {
 public:
  void OnUploadFinished(const UploadReport& report) override { reports.push_back(report); }
  std::vector<UploadReport> reports;
};

TEST(FinishUpload, TellsTheObserverOnlyWithoutAStop) {
  std::recursive_mutex lock;
  Recorder observer;
  CUploadTask task(UploadJob{}, lock, &observer);
  UploadReport failed;
  failed.end = UploadEnd::kRetry;
  UploadReport stored;
  stored.end = UploadEnd::kStored;
  task.stopRequested.store(true);
  FinishUpload(task, stored);
  EXPECT_TRUE(observer.reports.empty());
  task.stopRequested.store(false);
  FinishUpload(task, failed);
  ASSERT_EQ(1u, observer.reports.size());
  EXPECT_EQ(UploadEnd::kRetry, observer.reports.back().end);
  FinishUpload(task, stored);
  ASSERT_EQ(2u, observer.reports.size());
  EXPECT_EQ(UploadEnd::kStored, observer.reports.back().end);
  // Every call signalled the event: a wait returns at once.
  EXPECT_TRUE(task.doneEvent.WaitFor(std::chrono::milliseconds(0)));
}

}  // namespace
}  // namespace plumet
