// The download task against a loopback server: only a real copy of the file is reported complete,
// the copy is private, and a stalled transfer stops within a second when the task goes.

#include "session/download_task.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "loopback_server.h"
#include "session_fakes.h"

namespace session_test {
namespace {

constexpr const char* kContent = "the file's content\n";
constexpr const char* kContentSha1 = "1f848b623fd65cf3a4d76a0d92b8fb70597de9d1";

Answer Serve(const Request& r) {
  if (r.url == "/good") return {200, kContent, {}};
  if (r.url == "/redirect") return {302, "moved", {{"Location", "/good"}}};
  if (r.url == "/redirect-to-error") return {302, "moved", {{"Location", "/missing"}}};
  if (r.url == "/stall") return {200, "", {}, true};
  return {404, "<html>not found</html>", {}};
}

struct Outcome {
  std::mutex mutex;
  std::condition_variable cond;
  std::optional<DownloadOutcome> value;
  std::string cause;

  DownloadFinished Callback() {
    return [this](DownloadOutcome o, const std::string& why) {
      std::lock_guard<std::mutex> guard(mutex);
      value = o;
      cause = why;
      cond.notify_all();
    };
  }
  std::optional<DownloadOutcome> Wait() {
    std::unique_lock<std::mutex> guard(mutex);
    cond.wait_for(guard, std::chrono::seconds(15), [this] { return value.has_value(); });
    return value;
  }
};

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class DownloadTaskTest : public ::testing::Test {
 protected:
  Scratch scratch;
  LoopbackServer server{Serve};
  std::recursive_mutex lock;
};

TEST_F(DownloadTaskTest, CompleteOnlyWhenItIsTheFile) {
  ASSERT_TRUE(server.ok());
  const uint64_t size = std::strlen(kContent);
  struct Case {
    const char* url;
    uint64_t size;
    std::string sha1;
    DownloadOutcome expected;
  } cases[] = {
      {"/good", size, kContentSha1, DownloadOutcome::kComplete},
      {"/good", 0, "", DownloadOutcome::kComplete},  // nothing announced
      {"/good", size, "1F848B623FD65CF3A4D76A0D92B8FB70597DE9D1", DownloadOutcome::kComplete},
      {"/redirect", size, "", DownloadOutcome::kComplete},  // the final answer counts
      {"/missing", 0, "", DownloadOutcome::kFailed},        // an error page
      {"/redirect-to-error", size, "", DownloadOutcome::kFailed},
      {"/good", size + 1, "", DownloadOutcome::kFailed},  // shorter than announced
      {"/good", size - 1, "", DownloadOutcome::kFailed},  // longer than announced
      {"/good", size, "0123456789abcdef0123456789abcdef01234567", DownloadOutcome::kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.url) + " size " + std::to_string(c.size) + " " + c.sha1);
    const std::string path = scratch.path + "tmp/copy.txt";
    Outcome outcome;
    {
      auto task = std::make_unique<DownloadTask>(lock);
      ASSERT_TRUE(task->Open({server.Base() + c.url, path, c.size, c.sha1}, outcome.Callback()));
      ASSERT_TRUE(task->Start());
      ASSERT_EQ(c.expected, outcome.Wait());
      std::lock_guard<std::recursive_mutex> guard(lock);
      task.reset();
    }
    if (c.expected == DownloadOutcome::kComplete) {
      EXPECT_EQ(kContent, Read(path));
    } else {
      EXPECT_FALSE(outcome.cause.empty());
    }
    EXPECT_EQ(std::string::npos, Read(path).find("not found"));  // an error page is never the copy
  }
}

TEST_F(DownloadTaskTest, CopyIsPrivateAndNeverThroughALink) {
  const std::string path = scratch.path + "tmp/tool.sh";
  std::ofstream(path) << "old";
  ::chmod(path.c_str(), 0755);
  Outcome outcome;
  DownloadTask task(lock);
  ASSERT_TRUE(task.Open({server.Base() + "/good", path, 0, ""}, outcome.Callback()));
  struct stat st;
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);

  const std::string target = scratch.path + "elsewhere.txt";
  std::ofstream(target) << "keep";
  const std::string link = scratch.path + "tmp/link.txt";
  ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str()));
  DownloadTask linked(lock);
  EXPECT_FALSE(linked.Open({server.Base() + "/good", link, 0, ""}, outcome.Callback()));
  EXPECT_EQ("keep", Read(target));
}

TEST_F(DownloadTaskTest, StalledTransferStopsWithinASecond) {
  ASSERT_TRUE(server.ok());
  Outcome outcome;
  auto task = std::make_unique<DownloadTask>(lock);
  ASSERT_TRUE(task->Open({server.Base() + "/stall", scratch.path + "tmp/s.txt", 100, ""},
                         outcome.Callback()));
  ASSERT_TRUE(task->Start());
  // Wait until the request is in and the server holds back its body after the headers.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server.StallsBegun() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(1, server.StallsBegun());
  ASSERT_EQ(1u, server.requests().size());
  const auto start = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::recursive_mutex> guard(lock);  // as the session list destroys it
    task.reset();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_FALSE(outcome.value.has_value());  // a stopped task reports nothing
}

}  // namespace
}  // namespace session_test
