// The real `plumet` as separate processes on a private desktop (own XDG folders, own session bus
// with fake notification services, offscreen): hand-off from later starts, kill -9 of the
// resident, xdg-open after registration, orderly exit on SIGTERM, no token in argv or output.
//
// Without a service, the observable answer to a launch request is the refusal of a copy that is
// already open elsewhere: the test keeps a file of that name open in the copy folder, and the
// resident answers with the notification "[PATH]文件已经打开".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/app/desktop_session.h"
#include "tests/support/zelmic_process.h"

namespace {

using namespace std::chrono_literals;
using plumet_test::DesktopSession;
using plumet_test::LaunchUrl;
using plumet_test::PlumetPath;

const char kToken[] = "refreshTOKENabc123secret";

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class PlumetProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(desk_.ok());
    ASSERT_TRUE(desk_.StartBus());
    ASSERT_TRUE(desk_.StartServices(false));
  }

  // Starts the resident and waits until later starts can find it.
  pid_t StartResident(const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv = {PlumetPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = desk_.Start(argv);
    EXPECT_TRUE(desk_.WaitForFile(desk_.WindowEntry(), 10s)) << Slurp(desk_.Path("plumet.out"));
    return pid;
  }

  // The copy of `remote` (mount 1, a folder of its own per remote folder) held open by this test
  // and known to no session, so that a launch request for it is refused.
  int HoldCopyOpen(const std::string& remote) {
    const std::string path = desk_.CopyFolder() + "/1" + remote;
    std::filesystem::create_directories(path.substr(0, path.rfind('/')));
    chmod(desk_.CopyFolder().c_str(), 0700);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    held_.push_back(fd);
    return fd;
  }

  // The same for a copy in the hashed form: folders that are too long or unusable as names.
  void HoldHashedCopyOpen(const std::string& folders, const std::string& file) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(folders.data()), folders.size(), digest);
    char key[17];
    for (int i = 0; i < 8; ++i) std::snprintf(key + 2 * i, 3, "%02x", digest[i]);
    const std::string copy = desk_.CopyFolder() + "/1.h/" + key + "/" + file;
    std::filesystem::create_directories(copy.substr(0, copy.rfind('/')));
    chmod(desk_.CopyFolder().c_str(), 0700);
    const int fd = open(copy.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    held_.push_back(fd);
  }

  std::string AlreadyOpen(const std::string& remote) { return "[" + remote + "]文件已经打开"; }

  void TearDown() override {
    for (int fd : held_) close(fd);
  }

  DesktopSession desk_;
  std::vector<int> held_;
};

TEST_F(PlumetProcess, LaterStartsHandOffQuicklyAndNoneIsLost) {
  const pid_t resident = StartResident();
  for (int i = 0; i < 6; ++i) HoldCopyOpen("/docs/f" + std::to_string(i) + ".txt");

  // One start alone: it returns at once, the resident handles the URL.
  const auto begin = std::chrono::steady_clock::now();
  const pid_t later = desk_.Start({PlumetPath(), LaunchUrl(1, "/docs/f0.txt", kToken)});
  const int status = desk_.WaitExit(later, 5s);
  const auto took = std::chrono::steady_clock::now() - begin;
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_LT(took, 900ms) << "a later start must not sit out a fixed wait";
  std::string line;
  ASSERT_TRUE(desk_.WaitForLog({AlreadyOpen("/docs/f0.txt")}, 5s, &line));
  EXPECT_EQ(line, "notify\tplumet\t提示\t" + AlreadyOpen("/docs/f0.txt") + "\t2000");

  // Five at once: every one arrives.
  std::vector<pid_t> starts;
  for (int i = 1; i < 6; ++i) {
    starts.push_back(
        desk_.Start({PlumetPath(), LaunchUrl(1, "/docs/f" + std::to_string(i) + ".txt", kToken)}));
  }
  for (pid_t p : starts) EXPECT_EQ(desk_.WaitExit(p, 10s), 0);
  for (int i = 1; i < 6; ++i) {
    EXPECT_TRUE(desk_.WaitForLog({AlreadyOpen("/docs/f" + std::to_string(i) + ".txt")}, 5s)) << i;
  }

  // SIGTERM takes the orderly exit: the window is withdrawn, the status is success.
  kill(resident, SIGTERM);
  const int resident_status = desk_.WaitExit(resident, 10s);
  EXPECT_TRUE(WIFEXITED(resident_status) && WEXITSTATUS(resident_status) == 0) << resident_status;
  EXPECT_NE(access(desk_.WindowEntry().c_str(), F_OK), 0);
  EXPECT_EQ(Slurp(desk_.Path("plumet.out")).find(kToken), std::string::npos);
}

TEST_F(PlumetProcess, KilledResidentIsReplacedByTheNextStart) {
  HoldCopyOpen("/docs/a.txt");
  // Two folders of 200 units: a path that is mirrored whole, and a notification longer than 255.
  const std::string deep = "/" + std::string(200, 'd') + "/" + std::string(200, 'd') + "/b.txt";
  HoldCopyOpen(deep);
  const pid_t first = StartResident();
  desk_.Kill(first, SIGKILL);
  ASSERT_EQ(access(desk_.WindowEntry().c_str(), F_OK), 0) << "the stale entry stays behind";

  // The next start finds the mutex free (the kernel dropped it): it runs a new resident apart,
  // hands its link over and ends, so whoever ran it does not wait for the resident. The link is
  // handled and appears in no command line.
  const pid_t start = desk_.Start({PlumetPath(), LaunchUrl(1, "/docs/a.txt", kToken)});
  ASSERT_EQ(desk_.WaitExit(start, 10s), 0) << Slurp(desk_.Path("plumet.out"));
  const pid_t second = desk_.AdoptResident();
  ASSERT_GT(second, 0);
  EXPECT_TRUE(desk_.WaitForLog({AlreadyOpen("/docs/a.txt")}, 5s));
  EXPECT_EQ(getsid(second), second) << "a closed terminal of the opener must not end it";
  const std::string cmdline = Slurp("/proc/" + std::to_string(second) + "/cmdline");
  EXPECT_EQ(cmdline.find(kToken), std::string::npos);
  EXPECT_EQ(cmdline.find("plumet://"), std::string::npos);

  // And it serves later starts. A notification text longer than its 255 units is cut, not refused.
  EXPECT_EQ(desk_.WaitExit(desk_.Start({PlumetPath(), LaunchUrl(1, deep, kToken)}), 5s), 0);
  std::string line;
  EXPECT_TRUE(desk_.WaitForLog({"notify\tplumet\t提示\t[/ddd"}, 5s, &line));
  EXPECT_EQ(line, "notify\tplumet\t提示\t" + ("[" + deep).substr(0, 255) + "\t2000");
}

TEST_F(PlumetProcess, ALinkLongerThanTheBlockReachesTheResidentWhole) {
  // A remote path of 15000 characters: its copy takes the hashed form, which any cut of the link
  // would change; the refusal names the path, so it shows that this very file was looked at.
  std::string folders;
  for (int i = 0; i < 150; ++i) folders += "/" + std::string(99, static_cast<char>('a' + i % 26));
  const std::string remote = folders + "/long.txt";
  const std::string link = LaunchUrl(1, remote, kToken);
  ASSERT_GE(link.size(), 20000u);
  HoldHashedCopyOpen(folders, "long.txt");

  StartResident();
  EXPECT_EQ(desk_.WaitExit(desk_.Start({PlumetPath(), link}), 5s), 0)
      << Slurp(desk_.Path("plumet.out"));
  std::string line;
  EXPECT_TRUE(desk_.WaitForLog({"notify\tplumet\t提示\t[/aaa"}, 5s, &line))
      << Slurp(desk_.Path("plumet.out"));
  EXPECT_EQ(line, "notify\tplumet\t提示\t" + ("[" + remote).substr(0, 255) + "\t2000");
}

TEST_F(PlumetProcess, MarkupAndLineBreaksOfAPathAreShownAsText) {
  // The notification server of the test reads bodies as markup (as the usual ones do).
  const std::string folders = "/do<b>c\ns";
  HoldHashedCopyOpen(folders, "a.txt");
  StartResident();
  EXPECT_EQ(
      desk_.WaitExit(desk_.Start({PlumetPath(), LaunchUrl(1, folders + "/a.txt", kToken)}), 5s), 0);
  std::string line;
  EXPECT_TRUE(desk_.WaitForLog({"notify\tplumet\t提示\t[/do"}, 5s, &line))
      << Slurp(desk_.Path("plumet.out"));
  EXPECT_EQ(line, "notify\tplumet\t提示\t" + AlreadyOpen("/do&lt;b&gt;c?s/a.txt") + "\t2000");
}

TEST_F(PlumetProcess, XdgOpenOfALinkEndsAndTheResidentItStartedServesIt) {
  HoldCopyOpen("/docs/c.txt");
  const pid_t registering = StartResident();
  // Registration happens during the start-up, into the private XDG folders (the window is
  // published first, so that no click waits for it).
  const std::string registered = "x-scheme-handler/plumet=plumet.desktop";
  for (int i = 0;
       i < 250 && Slurp(desk_.Path("config/mimeapps.list")).find(registered) == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(20ms);
  }
  const std::string list = Slurp(desk_.Path("config/mimeapps.list"));
  EXPECT_NE(list.find(registered), std::string::npos) << list;
  const std::string entry = Slurp(desk_.Path("data/applications/plumet.desktop"));
  EXPECT_NE(entry.find("Exec=" + PlumetPath() + " %u"), std::string::npos) << entry;

  kill(registering, SIGTERM);
  ASSERT_EQ(desk_.WaitExit(registering, 10s), 0);

  // No resident now: the opener (xdg-open's shell waits for what it ran) still ends, and the
  // resident that start ran apart handles the link. xdg-open's generic path only follows scheme
  // handlers when it believes a display exists; the number names no server, so no other test's X
  // server is probed (the session's offscreen platform keeps Qt off it too).
  const pid_t opener =
      desk_.Start({"env", "DISPLAY=:4095", "xdg-open", LaunchUrl(1, "/docs/c.txt", kToken)});
  const int status = desk_.WaitExit(opener, 10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Slurp(desk_.Path("env.out"));
  EXPECT_GT(desk_.AdoptResident(), 0);
  EXPECT_TRUE(desk_.WaitForLog({AlreadyOpen("/docs/c.txt")}, 5s)) << Slurp(desk_.Path("env.out"));
}

TEST_F(PlumetProcess, RunsWithoutAnySessionBus) {
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ASSERT_EQ(
      desk_.WaitExit(desk_.Start({PlumetPath(), LaunchUrl(1, "/docs/none.txt", kToken)}), 10s), 0);
  const pid_t resident = desk_.AdoptResident();
  ASSERT_GT(resident, 0) << Slurp(desk_.Path("plumet.out"));
  EXPECT_EQ(desk_.WaitExit(resident, 1500ms), -1) << Slurp(desk_.Path("plumet.out"));
  kill(resident, SIGINT);
  const int status = desk_.WaitExit(resident, 10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(PlumetProcess, UnregisterRemovesOurEntryAndKeyOnly) {
  const std::string before =
      "# mine\n[Default Applications]\ntext/plain=vim.desktop\n\n[Added Associations]\n"
      "x-scheme-handler/plumet=plumet.desktop;\n";
  std::filesystem::create_directories(desk_.Path("config"));
  std::ofstream(desk_.Path("config/mimeapps.list")) << before;
  const pid_t resident = StartResident();
  kill(resident, SIGTERM);
  ASSERT_EQ(desk_.WaitExit(resident, 10s), 0);
  ASSERT_NE(Slurp(desk_.Path("config/mimeapps.list")), before) << "not registered";

  const pid_t unregister = desk_.Start({PlumetPath(), "--unregister"});
  EXPECT_EQ(desk_.WaitExit(unregister, 5s), 0) << Slurp(desk_.Path("plumet.out"));
  EXPECT_EQ(Slurp(desk_.Path("config/mimeapps.list")), before);
  EXPECT_NE(access(desk_.Path("data/applications/plumet.desktop").c_str(), F_OK), 0);
}

// Options that only print, and arguments that are no link, answer at once: nothing is registered
// in the caller's session and no resident stays behind.
TEST_F(PlumetProcess, OptionsAndStrayArgumentsAnswerWithoutStartingAnything) {
  const struct {
    const char* arg;
    int exit_code;
    const char* out;  // a part of stdout
    const char* err;  // a part of stderr
  } cases[] = {
      {"--help", 0, "usage: plumet", ""},
      {"--version", 0, "plumet " PLUMET_VERSION "\n", ""},
      {"--bogus", 2, "", "plumet: unknown option --bogus\n"},
      {"file.txt", 2, "", "plumet: the argument is not a plumet:// link\n"},
  };
  for (const auto& c : cases) {
    const zelmic_test::RunResult run = zelmic_test::RunProgram({PlumetPath(), c.arg}, 5);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.arg << ": " << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << c.arg << ": " << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << c.arg << ": " << run.err;
    EXPECT_NE(access(desk_.Path("config/mimeapps.list").c_str(), F_OK), 0) << c.arg;
    EXPECT_NE(access(desk_.Path("data/applications/plumet.desktop").c_str(), F_OK), 0) << c.arg;
    EXPECT_EQ(desk_.PublishedResident(), 0) << c.arg;
  }
}

}  // namespace
