// The session list with real download threads (fake service and desktop): replacing a session
// whose download is stalled, and downloads that finish while their sessions are being replaced.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "loopback_server.h"
#include "session/engine_ports.h"
#include "session/launch_request.h"
#include "session/session_list.h"
#include "session_fakes.h"

namespace session_test {
namespace {

constexpr const char* kContent = "content of the file\n";

Answer Serve(const Request& r) {
  if (r.url == "/stall") return {200, "", {}, true};
  return {200, kContent, {}};
}

class SessionThreadsTest : public ::testing::Test {
 protected:
  SessionThreadsTest() {
    ports = engine.Ports();  // real tasks and probes
    ports.notifier = &notifier;
    ports.opener = &opener;
    ports.clock = &clock;
    ports.tokens = &tokens;
    ports.files = &files;
    ports.log = &log;
    files.size = static_cast<int64_t>(std::strlen(kContent));
    files.hash = L"4256fbbd11b9e1260e089e37e6b814abb3c69dbc";  // the content's SHA-1
    list = std::make_unique<SessionList>(ports, scratch.path + "tmp", scratch.path + "unsent",
                                         scratch.path + "state");
  }

  bool Add() {
    auto s = std::make_unique<EditSession>();
    s->remotePath = L"/d/a.txt";
    s->refreshToken = L"r";
    s->localPath = L"";
    const std::string local = LocalPathFor(list->tempDir(), s->mount, s->remotePath);
    s->localPath.assign(local.begin(), local.end());
    return list->RegisterSession(std::move(s));
  }

  EditSessionState State() {
    std::lock_guard<std::recursive_mutex> guard(list->lock());
    return list->sessions().front()->state;
  }

  Scratch scratch;
  LoopbackServer server{Serve};
  EnginePorts engine;
  FakeNotifier notifier;
  FakeOpener opener;
  FakeClock clock;
  FakeTokens tokens;
  FakeFiles files;
  FakeLog log;
  SessionPorts ports;
  std::unique_ptr<SessionList> list;
};

TEST_F(SessionThreadsTest, ReplacingAStalledDownloadEndsItWithinASecond) {
  ASSERT_TRUE(server.ok());
  files.uri = std::wstring(L"http://127.0.0.1:") +
              std::to_wstring(std::stoi(server.Host().substr(10))) + L"/stall";
  ASSERT_TRUE(Add());
  list->OnSessionTick();
  ASSERT_EQ(EditSessionState::Downloading, State());
  for (int i = 0; i < 200 && server.requests().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Add());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(EditSessionState::New, State());
  EXPECT_EQ(0u, opener.Count());
}

TEST_F(SessionThreadsTest, DownloadsFinishingWhileReplacedNeverTouchTheOldSession) {
  ASSERT_TRUE(server.ok());
  files.uri = std::wstring(L"http://127.0.0.1:") +
              std::to_wstring(std::stoi(server.Host().substr(10))) + L"/good";
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(Add());
    list->OnSessionTick();
    // Give the transfer a varying head start so that some finish, some are cut short.
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 5));
  }
  // The last one runs to its end and is opened.
  for (int i = 0; i < 300 && State() != EditSessionState::Editing; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(EditSessionState::Editing, State());
  EXPECT_GE(opener.Count(), 1u);
  list->CloseAllSessions();
}

}  // namespace
}  // namespace session_test
