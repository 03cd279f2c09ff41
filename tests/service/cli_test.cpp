// The command line of zelmicd: clear one-line errors, non-zero exits, clean shutdown.
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/service/service_fixture.h"

namespace zelmic_test {
namespace {

void ExpectRefused(const RunResult& r, const std::string& what) {
  EXPECT_NE(r.exit_code, 0) << what;
  EXPECT_EQ(r.err.rfind("zelmicd: ", 0), 0u) << what << ": " << r.err;
  EXPECT_TRUE(r.out.empty()) << what;
}

TEST(ZelmicdCli, BadArgumentsAndUnusableDirectories) {
  ZelmicProcess z;
  ExpectRefused(RunProgram({ZelmicdPath()}), "no subcommand");
  ExpectRefused(RunProgram({ZelmicdPath(), "frob", z.dir()}), "unknown subcommand");
  ExpectRefused(z.Admin("put", {"local", "/remote"}), "put without --mount");
  ExpectRefused(z.Admin("put", {"--mount", "x", "local", "/remote"}), "bad mount");
  ExpectRefused(z.Admin("link", {"--mount", "1", "/nothing", "--user", "ann"}), "unknown user");
  ExpectRefused(z.Admin("add-user", {"bad name!"}), "bad user name");
  ExpectRefused(z.Admin("add-user", {"ann", "--colour", "red"}), "unknown option");
  ExpectRefused(z.Admin("serve", {"--api-port", "70000"}), "bad port");
  ExpectRefused(z.Admin("serve", {"--tls-cert", "cert.pem"}), "certificate without key");
  ExpectRefused(z.Admin("serve", {"--max-connections", "0"}), "no connections");
  ExpectRefused(z.Admin("add-user", {"ann", "--password-file", z.tmp_dir() + "/absent"}),
                "missing password file");
  ExpectRefused(z.Admin("serve", {"--upload-url", "ftp://127.0.0.1:1"}), "upload URL scheme");
  ExpectRefused(z.Admin("serve", {"--web-url", "https://a b"}), "web URL with a space");
  ExpectRefused(RunProgram({ZelmicdPath(), "serve", z.tmp_dir() + "/missing"}), "missing dir");
  ExpectRefused(RunProgram({ZelmicdPath(), "init", z.dir()}), "init over a data dir");
  ExpectRefused(RunProgram({ZelmicdPath(), "add-user", "/proc/self", "ann"}), "not a data dir");

  EXPECT_FALSE(z.AddUser("ann", {1}).empty());
  ExpectRefused(z.Admin("put", {"--mount", "1", z.tmp_dir() + "/absent", "/a.txt"}),
                "missing local file");
  ExpectRefused(z.Admin("put", {"--mount", "1", ZelmicdPath(), "/../a"}), "escaping remote path");
  ExpectRefused(z.Admin("link", {"--mount", "1", "/absent.txt", "--user", "ann"}),
                "link to nothing");
}

TEST(ZelmicdCli, AddUserPrintsOnlyTheToken) {
  ZelmicProcess z;
  RunResult r = z.Admin("add-user", {"ann", "--mount", "1", "--mount", "4"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(r.out.size(), 41u);  // 40 hex digits and the line end
  EXPECT_EQ(r.out.find_first_not_of("0123456789abcdef"), 40u);
  EXPECT_EQ(r.out.back(), '\n');
}

TEST(ZelmicdCli, AddUserSetsAQuotaThatPutHonours) {
  ZelmicProcess z;
  for (const char* bad : {"1X", "-1", "K", "2000000G"})
    ExpectRefused(z.Admin("add-user", {"ann", "--quota", bad}), bad);
  ExpectRefused(z.Admin("serve", {"--keep-days", "-1"}), "negative keep-days");
  ASSERT_EQ(z.Admin("add-user", {"ann", "--mount", "1", "--quota", "1K"}).exit_code, 0);
  for (const auto& [size, refused] : {std::pair{1025, true}, std::pair{1024, false}}) {
    const std::string local = z.tmp_dir() + "/local";
    std::ofstream(local, std::ios::binary | std::ios::trunc) << std::string(size, 'q');
    RunResult r = z.Admin("put", {"--mount", "1", local, "/q.bin", "--user", "ann"});
    EXPECT_EQ(r.exit_code != 0, refused) << size << ": " << r.err;
  }
}

// Regular files under the data dir's blobs.
int Blobs(const ZelmicProcess& z) {
  int n = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(z.dir() + "/blobs"))
    n += e.is_regular_file();
  return n;
}

TEST(ZelmicdCli, ServeSweepsOrphansAndPurgesWhatIsNoLongerKept) {
  ZelmicProcess z;
  const std::string refresh = z.AddUser("ann", {1});
  const std::string local = z.tmp_dir() + "/a.txt";
  ASSERT_TRUE(WriteFile(local, "purged\n"));
  z.Put(1, local, "/a.txt");
  const std::string orphan = z.dir() + "/blobs/ab/" + std::string(40, 'a').replace(0, 2, "ab");
  std::filesystem::create_directories(z.dir() + "/blobs/ab");
  ASSERT_TRUE(WriteFile(orphan, "left by a crash"));
  std::filesystem::last_write_time(
      orphan, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  ASSERT_TRUE(z.Start());
  EXPECT_EQ(Blobs(z), 1);  // the orphan went before the service was ready
  EXPECT_EQ(SignedRequest(z.api_host(), z.AccessToken(refresh), "DELETE", 1, "/a%2Etxt").status,
            200);
  z.Stop();
  ASSERT_TRUE(z.Start({"--keep-days", "0"}));
  for (int i = 0; i < 50 && Blobs(z) > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Blobs(z), 0);
}

// Runs `zelmicd add-user DIR NAME` with standard input and error on a terminal, answering every
// prompt with the next of answers; returns the outcome with stdout (a pipe) in out.
RunResult AddUserOnATerminal(ZelmicProcess& z, const std::string& name,
                             const std::vector<std::string>& answers) {
  RunResult result;
  int out[2];
  if (pipe(out) != 0) return result;
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execl(ZelmicdPath().c_str(), ZelmicdPath().c_str(), "add-user", z.dir().c_str(), name.c_str(),
          "--mount", "1", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    return result;
  }
  std::string seen;
  size_t answered = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (size_t prompts = 0; std::chrono::steady_clock::now() < deadline;) {
    pollfd p{terminal, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[256];
    const ssize_t n = read(terminal, buf, sizeof buf);
    if (n <= 0) break;  // the program ended
    seen.append(buf, static_cast<size_t>(n));
    for (size_t at = 0; (at = seen.find(": ", at)) != std::string::npos; at += 2) ++prompts;
    for (; answered < prompts && answered < answers.size(); ++answered) {
      const std::string line = answers[answered] + "\n";
      if (write(terminal, line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
    }
    seen.erase(0, seen.rfind(": ") == std::string::npos ? 0 : seen.rfind(": ") + 2);
  }
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) != pid) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  close(terminal);
  char buf[256];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
    result.out.append(buf, static_cast<size_t>(n));
  close(out[0]);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

TEST(ZelmicdCli, AddUserTakesTheWebPasswordFromAFileOrATerminal) {
  ZelmicProcess z;
  EXPECT_FALSE(z.AddUser("ann", {1}, "from a file").empty());
  RunResult dave = AddUserOnATerminal(z, "dave", {"typed twice", "typed twice"});
  EXPECT_EQ(dave.exit_code, 0);
  EXPECT_EQ(dave.out.size(), 41u) << "the refresh token is the only line on stdout: " << dave.out;
  RunResult eve = AddUserOnATerminal(z, "eve", {"one", "another"});
  EXPECT_NE(eve.exit_code, 0);
  EXPECT_TRUE(eve.out.empty());
  ASSERT_TRUE(z.Start());
  EXPECT_FALSE(WebLogin(z.web_base(), "ann", "from a file").empty());
  EXPECT_FALSE(WebLogin(z.web_base(), "dave", "typed twice").empty());
  EXPECT_TRUE(WebLogin(z.web_base(), "eve", "one").empty());
}

TEST(ZelmicdCli, ServeRefusesABusyPortAndStopsCleanly) {
  ZelmicProcess z;
  ASSERT_TRUE(z.Start());
  ZelmicProcess other;  // a folder of its own: one folder is served by one process at a time
  RunResult busy = other.Admin("serve", {"--api-port", std::to_string(z.api_port()), "--token-port",
                                         "0", "--upload-port", "0", "--web-port", "0"});
  ExpectRefused(busy, "busy port");
  EXPECT_NE(busy.err.find("API listener"), std::string::npos) << busy.err;
  z.Stop();
  ASSERT_TRUE(WIFEXITED(z.last_wait_status()));
  EXPECT_EQ(WEXITSTATUS(z.last_wait_status()), 0);
}

class ExternalUrlsTest : public ServiceTest {
 protected:
  void SetUp() override {
    Prepare(
        {"--upload-url", "https://front.test:8443/up/", "--web-url", "https://front.test:9443"});
  }
};

TEST_F(ExternalUrlsTest, AnswersNameTheFrontInsteadOfTheListeners) {
  HttpResult put =
      Call(ann_, "PUT", 1, "/docs/new%2Etxt",
           {"x-zm-filehash: 3f786850e387550fdab836ed7e6dc881de23001b", "x-zm-filesize: 2"});
  ASSERT_EQ(put.status, 200) << put.body;
  EXPECT_EQ(Str(ParseJson(put.body), "server"), "https://front.test:8443/up");
  HttpResult get = Call(ann_, "GET", 1, "/docs/plan%2Etxt");
  ASSERT_EQ(get.status, 200);
  EXPECT_EQ(Str(ParseJson(get.body), "uri").rfind("https://front.test:9443/download/", 0), 0u)
      << get.body;
}

}  // namespace
}  // namespace zelmic_test
