// The upload task on its own thread: registration with the service, the outcome it writes into the
// session under the session lock, and destruction while it runs.

#include "upload/upload_task.h"

#include <dorvic/dorvic.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

class UploadTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    upload_test::ClearProxyEnvironment();
    ASSERT_FALSE(scratch.path().empty());
    ASSERT_TRUE(server.Start());
    dorvic_set_host(upload_test::Widen(server.Host()));
    dorvic_set_secret(upload_test::Widen(plumet_defaults::kClientSecret));
    localPath = scratch.path() + "/copy.bin";
    session.state = EditSessionState::Editing;
    session.mount = 1;
    session.accessToken = L"access-token";
    session.remotePath = L"/docs/report.bin";
    session.localPath = upload_test::Widen(localPath);
  }

  void StartUpload() { ASSERT_TRUE(upload_test::StartUploadTask(session, lock)); }

  EditSessionState WaitForOutcome() {
    return upload_test::WaitForOutcome(session, lock, kPatience);
  }

  template <typename Pred>
  bool WaitUntil(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  void DestroyTaskUnderLock() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    session.task.reset();
  }

  int UploadRequests() const {
    int n = 0;
    for (const auto& r : server.Requests()) n += r.path.rfind("/upload_", 0) == 0 ? 1 : 0;
    return n;
  }

  upload_test::ScratchDir scratch;
  FakeUploadServer server;
  std::recursive_mutex lock;
  std::string localPath;
  EditSession session;  // holds the task: destroyed before the server and the lock
};

Scripted Status(unsigned status) {
  Scripted answer;
  answer.status = status;
  return answer;
}

TEST_F(UploadTaskTest, UploadsTheCopyAndEndsUploaded) {
  const std::string content = upload_test::RandomBytes(100000, 21);
  ASSERT_TRUE(upload_test::WriteBytes(localPath, content));
  StartUpload();
  ASSERT_EQ(EditSessionState::Uploaded, WaitForOutcome());
  EXPECT_TRUE(content == server.Committed())
      << upload_test::Difference(content, server.Committed());
  std::lock_guard<std::recursive_mutex> guard(lock);
  EXPECT_EQ(40u, session.fileHash.size());
  EXPECT_EQ(content.size(), session.fileSize);
  EXPECT_EQ(L"ph-1", session.uploadHash);
  const auto requests = server.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ("PUT", requests[0].method);
  EXPECT_EQ(std::string(session.fileHash.begin(), session.fileHash.end()),
            requests[0].Header("x-zm-filehash"));
  EXPECT_EQ("100000", requests[0].Header("x-zm-filesize"));
  EXPECT_EQ("ph-1", requests[1].Header("x-zm-upload-pathhash"));
}

TEST_F(UploadTaskTest, ContentTheServiceHoldsIsNotSent) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, "same as stored"));
  server.SetAddFileState(1);
  StartUpload();
  EXPECT_EQ(EditSessionState::Uploaded, WaitForOutcome());
  EXPECT_EQ(0, UploadRequests());
}

TEST_F(UploadTaskTest, RefusedRegistrationFails) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, "abc"));
  server.Push("PUT", Status(403));
  StartUpload();
  EXPECT_EQ(EditSessionState::Failed, WaitForOutcome());
  EXPECT_EQ(0, UploadRequests());
}

TEST_F(UploadTaskTest, DeletedCopyFailsWhenItIsToBeOpened) {
  StartUpload();  // no local copy at all
  EXPECT_EQ(EditSessionState::Failed, WaitForOutcome());
  std::lock_guard<std::recursive_mutex> guard(lock);
  EXPECT_TRUE(session.fileHash.empty());
  EXPECT_EQ(0u, session.fileSize);
  EXPECT_EQ(0, UploadRequests());
}

TEST_F(UploadTaskTest, NoHashNoLiteralFile) {
  // Without a hash the literal file would be "<folder>/.tmp": a name anybody may have used.
  const std::string stranger = scratch.path() + "/.tmp";
  ASSERT_TRUE(upload_test::WriteBytes(stranger, "not ours"));
  {
    CUploadTask task(lock);
    task.editSession = &session;
    task.blockSize = 4096;
    EXPECT_FALSE(task.PrepareDelta());
  }
  EXPECT_EQ("not ours", upload_test::ReadAll(stranger));
}

TEST_F(UploadTaskTest, KnownHashIsNotComputedAgain) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, "abc"));
  session.fileHash = L"0123456789012345678901234567890123456789";
  server.SetAddFileState(1);
  StartUpload();
  EXPECT_EQ(EditSessionState::Uploaded, WaitForOutcome());
  EXPECT_EQ("0123456789012345678901234567890123456789",
            server.Requests().at(0).Header("x-zm-filehash"));
}

TEST_F(UploadTaskTest, DestructionWhilePartsAreSentStopsTheWorker) {
  const std::string content = upload_test::RandomBytes(64 * 32768, 22);
  ASSERT_TRUE(upload_test::WriteBytes(localPath, content));
  server.SetPartDelayMs(5);
  StartUpload();
  ASSERT_TRUE(WaitUntil([&] { return server.Count("/upload_part") >= 3; }));
  DestroyTaskUnderLock();
  const int parts = server.Count("/upload_part");
  EXPECT_LT(parts, 64);
  EXPECT_EQ(0, server.Count("/upload_finish"));
  EXPECT_FALSE(server.HasCommitted());
  std::lock_guard<std::recursive_mutex> guard(lock);
  EXPECT_EQ(EditSessionState::Uploading, session.state);  // left for the owner that stopped it
}

TEST_F(UploadTaskTest, DestructionDoesNotWaitForAStalledAnswer) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, "abc"));
  server.StallNext("/upload_init", 2000);
  StartUpload();
  ASSERT_TRUE(WaitUntil([&] { return !server.Requests().empty(); }));  // registered
  std::this_thread::sleep_for(
      std::chrono::milliseconds(300));  // the worker waits for "/upload_init"
  const auto before = std::chrono::steady_clock::now();
  DestroyTaskUnderLock();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
  std::lock_guard<std::recursive_mutex> guard(lock);
  EXPECT_EQ(EditSessionState::Uploading, session.state);
}

TEST_F(UploadTaskTest, OwnerHoldingTheLockCanStopAFinishingWorker) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, upload_test::RandomBytes(5000, 23)));
  std::unique_lock<std::recursive_mutex> held(lock);
  {
    auto task = std::make_unique<CUploadTask>(lock);
    CUploadTask* raw = task.get();
    session.task = std::move(task);
    session.state = EditSessionState::Uploading;
    raw->editSession = &session;
    ASSERT_TRUE(raw->Start());
  }
  // The worker completes the upload and then waits for the lock that this thread holds.
  ASSERT_TRUE(WaitUntil([&] { return server.HasCommitted(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  session.task.reset();  // must neither deadlock nor let the worker write afterwards
  EXPECT_EQ(EditSessionState::Uploading, session.state);
}

TEST_F(UploadTaskTest, FinishedTaskIsDestroyedWithoutWaiting) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, "abc"));
  StartUpload();
  ASSERT_EQ(EditSessionState::Uploaded, WaitForOutcome());
  const auto before = std::chrono::steady_clock::now();
  DestroyTaskUnderLock();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
}

TEST_F(UploadTaskTest, ProtocolFailureEndsFailed) {
  ASSERT_TRUE(upload_test::WriteBytes(localPath, "abc"));
  server.Push("/upload_init", Status(500));
  StartUpload();
  EXPECT_EQ(EditSessionState::Failed, WaitForOutcome());
}

TEST(FinishUpload, WritesTheStateOnlyWithoutAStop) {
  std::recursive_mutex lock;
  EditSession session;
  session.state = EditSessionState::Uploading;
  CUploadTask task(lock);
  task.editSession = &session;
  task.stopRequested.store(true);
  FinishUpload(task, false);
  EXPECT_EQ(EditSessionState::Uploading, session.state);
  task.stopRequested.store(false);
  FinishUpload(task, true);
  EXPECT_EQ(EditSessionState::Failed, session.state);
  FinishUpload(task, false);
  EXPECT_EQ(EditSessionState::Uploaded, session.state);
  // Every call signalled the event: a wait returns at once.
  EXPECT_TRUE(task.doneEvent.WaitFor(std::chrono::milliseconds(0)));
}

TEST(FreshSession, StartsNewAndEmpty) {
  EditSession session;
  EXPECT_EQ(EditSessionState::New, session.state);
  EXPECT_EQ(0, static_cast<int32_t>(session.state));
  EXPECT_TRUE(session.accessToken.empty() && session.fileHash.empty() &&
              session.uploadHash.empty());
  EXPECT_EQ(0u, session.fileSize);
  EXPECT_EQ(0, session.modifiedTime);
  EXPECT_EQ(0, session.deltaRefused);
  EXPECT_EQ(nullptr, session.task);
}

}  // namespace
}  // namespace plumet
