// The session list with real download threads (fake service and desktop): a click on a file whose
// download stalls, the exit during that download, and clicks racing a download's end.

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
    ports.dispatcher = nullptr;  // the fake service answers within the tick
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

TEST_F(SessionThreadsTest, ASecondClickKeepsAStalledDownloadAndTheExitEndsIt) {
  ASSERT_TRUE(server.ok());
  files.uri = std::wstring(L"http://127.0.0.1:") +
              std::to_wstring(std::stoi(server.Host().substr(10))) + L"/stall";
  ASSERT_TRUE(Add());
  list->OnSessionTick();
  ASSERT_EQ(EditSessionState::Downloading, State());
  for (int i = 0; i < 200 && server.requests().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(Add());
  EXPECT_EQ(EditSessionState::Downloading, State());
  EXPECT_EQ(1u, server.requests().size());
  const auto start = std::chrono::steady_clock::now();
  list->CloseAllSessions();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_FALSE(list->LeftWorkRunning());  // the download noticed the stop within its grace
  EXPECT_EQ(0u, opener.Count());
}

TEST_F(SessionThreadsTest, ClicksWhileTheDownloadFinishesGoToTheOneSession) {
  ASSERT_TRUE(server.ok());
  files.uri = std::wstring(L"http://127.0.0.1:") +
              std::to_wstring(std::stoi(server.Host().substr(10))) + L"/good";
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(Add());
    list->OnSessionTick();
    // A varying pace, so that clicks land before, during and after the download's end.
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 5));
  }
  // One download ran to its end and was opened; every click went to that session.
  for (int i = 0; i < 300 && State() != EditSessionState::Editing; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(EditSessionState::Editing, State());
  EXPECT_GE(opener.Count(), 1u);
  EXPECT_EQ(1u, server.requests().size());
  list->CloseAllSessions();
}

}  // namespace
}  // namespace session_test
