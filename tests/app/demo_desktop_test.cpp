// scripts/demo on a desktop (a private Xvfb display and session bus, a stand-in browser), as a
// person runs it: it comes up beside a listener on one of zelmicd's built-in ports, opens the web
// page once, keeps serving when plumet quits, and Ctrl-C ends it and everything it started.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "common/endpoints.h"
#include "tests/app/desktop_session.h"
#include "tests/support/zelmic_process.h"

namespace {

using namespace std::chrono_literals;
using zelmic_test::ReadFile;
using Clock = std::chrono::steady_clock;
using plumet_test::DesktopSession;

bool Alive(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

class DemoDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(desk_.ok());
    ASSERT_TRUE(desk_.StartDisplay());
    ASSERT_TRUE(desk_.StartBus());
    ASSERT_TRUE(desk_.StartServices(true));
    setenv("PLUMET_TEST_BROWSER_LOG", desk_.Path("browser.log").c_str(), 1);
    setenv("BUILD_DIR", DEMO_BUILD_DIR, 1);
    setenv("DATA", desk_.Path("demo-data").c_str(), 1);
    unsetenv("HEADLESS");
    std::filesystem::create_directories(desk_.Path("data/applications"));
    std::ofstream(desk_.Path("data/applications/test-browser.desktop"))
        << "[Desktop Entry]\nType=Application\nName=Test browser\nExec=" << FAKE_BROWSER_PATH
        << " %u\nMimeType=x-scheme-handler/http;\n";
    std::ofstream(desk_.Path("config/mimeapps.list"))
        << "[Default Applications]\nx-scheme-handler/http=test-browser.desktop\n";
  }

  void TearDown() override {
    // Whatever the demo left running became ours (the session is a subreaper): end it by its id.
    for (pid_t pid : started_by_demo_) {
      if (Alive(pid)) desk_.Kill(pid, SIGTERM);
    }
    unsetenv("BUILD_DIR");
    unsetenv("DATA");
  }

  // The id in the first line of the demo's output matching `pattern` (one group); 0 when none
  // came within `limit` or the demo ended.
  pid_t WaitForPid(const std::string& pattern, std::chrono::seconds limit) {
    const std::regex re(pattern);
    const auto deadline = Clock::now() + limit;
    do {
      std::smatch m;
      const std::string out = ReadFile(desk_.Path("setsid.out"));
      if (std::regex_search(out, m, re)) {
        started_by_demo_.push_back(std::stoi(m[1].str()));
        return started_by_demo_.back();
      }
      if (desk_.WaitExit(demo_, 0ms) != -1) return 0;
      std::this_thread::sleep_for(50ms);
    } while (Clock::now() < deadline);
    return 0;
  }

  static std::string Status(const std::string& url) {
    return zelmic_test::RunProgram({"/usr/bin/curl", "-s", "--noproxy", "*", "--max-time", "5",
                                    "-o", "/dev/null", "-w", "%{http_code}", url},
                                   10)
        .out;
  }

  DesktopSession desk_;
  pid_t demo_ = -1;
  std::vector<pid_t> started_by_demo_;
};

TEST_F(DemoDesktop, ComesUpBesideABusyPortOpensThePageOnceAndOutlivesPlumetUntilCtrlC) {
  // Something else holds the built-in web port.
  const int busy = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(busy, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(plumet_defaults::kWebPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{busy};
  const bool bound = bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  const int bindError = errno;
  // Taken already by someone else is as good: the port is busy either way.
  ASSERT_TRUE((bound && listen(busy, 1) == 0) || bindError == EADDRINUSE) << bindError;

  // In a process group of its own, the one Ctrl-C in its terminal would reach.
  const pid_t demo = demo_ = desk_.Start({"setsid", DEMO_PATH});
  ASSERT_GT(demo, 0);
  const pid_t zelmicd = WaitForPid(R"(zelmicd serves .* \(pid ([0-9]+),)", 60s);
  const pid_t plumet = WaitForPid(R"(plumet runs \(pid ([0-9]+),)", 10s);
  const auto plumetSeen = Clock::now();
  ASSERT_GT(zelmicd, 0) << ReadFile(desk_.Path("setsid.out"));
  ASSERT_GT(plumet, 0) << ReadFile(desk_.Path("setsid.out"));

  std::string page;
  for (const auto deadline = Clock::now() + 20s;
       (page = ReadFile(desk_.Path("browser.log"))).find('\n') == std::string::npos &&
       Clock::now() < deadline;) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_NE(page.find('\n'), std::string::npos) << "no browser opened the page";
  page.resize(page.find('\n'));
  EXPECT_EQ(Status(page), "200") << page;

  // Quit after it has served for a while (one ending right after its start is not started again).
  std::this_thread::sleep_until(plumetSeen + 3s);
  ASSERT_EQ(kill(plumet, SIGTERM), 0);
  const pid_t again = WaitForPid(R"(started it again \(pid ([0-9]+)\))", 20s);
  EXPECT_GT(again, 0) << ReadFile(desk_.Path("setsid.out"));
  EXPECT_EQ(Status(page), "200") << "zelmicd stopped with plumet";

  ASSERT_EQ(kill(-demo, SIGINT), 0);
  EXPECT_NE(desk_.WaitExit(demo, 30s), -1) << "the demo did not end on Ctrl-C";
  for (pid_t pid : started_by_demo_) EXPECT_FALSE(Alive(pid)) << pid << " outlived the demo";
  EXPECT_EQ(ReadFile(desk_.Path("browser.log")), page + "\n") << "the page opened more than once";
}

}  // namespace
