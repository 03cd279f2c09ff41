// zelmicd left running against a hostile local user: slow connections, the descriptor limit, the
// file size limit, and staged files that a crash left behind.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/service/upload_helper.h"

namespace zelmic_test {
namespace {

// A value of /proc/PID/status ("Threads", "VmRSS"), -1 when missing.
long ProcStatus(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  return -1;
}

size_t OpenDescriptors(pid_t pid) {
  size_t n = 0;
  if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (readdir(dir)) ++n;
    closedir(dir);
  }
  return n;
}

// Connections waiting to be accepted on the listener at 127.0.0.1:port (for a listening socket,
// the kernel reports its accept queue as rx_queue), SIZE_MAX when there is no such listener.
size_t ListenQueue(uint16_t port) {
  char want[16];
  std::snprintf(want, sizeof want, "0100007F:%04X", port);
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (state != "0A" || local != want) continue;
    const size_t colon = queues.find(':');
    if (colon == std::string::npos) continue;
    return std::stoul(queues.substr(colon + 1), nullptr, 16);
  }
  return SIZE_MAX;
}

// Connections that started a request and then went quiet, as a slow client's do.
std::vector<int> SlowConnections(uint16_t port, int count) {
  std::vector<int> fds;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < count; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);  // completes in the backlog
    fds.push_back(fd);
  }
  for (int fd : fds) send(fd, "GET / HTTP/1.1\r\nHo", 18, MSG_NOSIGNAL);
  return fds;
}

class LimitsTest : public ServiceTest {
 protected:
  void SetUp() override {}  // each test starts the server its own way
  void Normal(const char* when) {
    EXPECT_EQ(Call(ann_, "GET", 1, "/docs/plan%2Etxt").status, 200) << when;
    EXPECT_EQ(HttpRequest("GET", z_.web_base() + "/").status, 200) << when;
    EXPECT_EQ(HttpRequest("POST", "http://" + z_.token_host() + "/oauth/token").status, 400)
        << when;
    EXPECT_EQ(
        HttpRequest("POST", "http://127.0.0.1:" + std::to_string(z_.upload_port()) + "/upload_req",
                    {"x-zm-upload-session: none"})
            .status,
        401)
        << when;
  }
};

TEST_F(LimitsTest, SlowConnectionsAreBoundedAndCostNoThreads) {
  constexpr int kLimit = 300;
  // All of them from this one account: its share is raised, so the listener's limit shows.
  Prepare({"--max-connections", std::to_string(kLimit), "--max-per-peer", "1000"});
  std::ifstream limits("/proc/" + std::to_string(z_.pid()) + "/limits");
  std::string line;
  while (std::getline(limits, line)) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(14));
    std::string soft, hard;
    fields >> soft >> hard;
    EXPECT_EQ(soft, hard) << "the descriptor limit is raised to the hard one";
  }
  const long threads = ProcStatus(z_.pid(), "Threads");
  // Below the limit every slow connection is held, and every listener still answers.
  std::vector<int> slow = SlowConnections(z_.web_port(), 250);
  ASSERT_EQ(slow.size(), 250u);
  Normal("with 250 slow connections");
  EXPECT_LE(ProcStatus(z_.pid(), "Threads"), threads + 2) << "a connection must not cost a thread";
  // Past the limit, the listener takes no more: the server's descriptors stay bounded.
  std::vector<int> more = SlowConnections(z_.web_port(), 150);
  // The server has taken all it will take once the surplus waits in the listener's queue.
  const size_t surplus = slow.size() + more.size() - kLimit;
  const auto queued = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ListenQueue(z_.web_port()) != surplus && std::chrono::steady_clock::now() < queued)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ListenQueue(z_.web_port()), surplus) << "the listener leaves the rest waiting";
  EXPECT_LE(OpenDescriptors(z_.pid()), static_cast<size_t>(kLimit) + 64);
  EXPECT_GE(OpenDescriptors(z_.pid()), static_cast<size_t>(kLimit)) << "the slow ones are held";
  for (int fd : slow) close(fd);
  for (int fd : more) close(fd);
  // Once they go, the listener takes connections again.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (HttpRequest("GET", z_.web_base() + "/").status != 200 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Normal("after the slow connections left");
}

// How many of fds the server closes within the time (it refuses a connection by closing it).
int ClosedByServer(const std::vector<int>& fds, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  std::vector<bool> closed(fds.size(), false);
  int n = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    for (size_t i = 0; i < fds.size(); ++i) {
      if (closed[i]) continue;
      char byte;
      const ssize_t got = recv(fds[i], &byte, 1, MSG_DONTWAIT);
      if (got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) continue;
      closed[i] = true;  // end of stream or reset
      ++n;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return n;
}

TEST_F(LimitsTest, AnotherAccountCannotTakeEveryConnection) {
  if (geteuid() != 0) GTEST_SKIP() << "connecting as another account needs root";
  constexpr int kLimit = 48, kPerPeer = 16, kTried = 60;
  Prepare(
      {"--max-connections", std::to_string(kLimit), "--max-per-peer", std::to_string(kPerPeer)});
  int counted[2], release[2];
  ASSERT_EQ(pipe(counted), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    // Another local account, holding as many slow connections as it can get.
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const std::vector<int> fds = SlowConnections(z_.web_port(), kTried);
    const int closed = ClosedByServer(fds, std::chrono::seconds(2));
    (void)!write(counted[1], &closed, sizeof closed);
    char wait;
    (void)!read(release[0], &wait, 1);  // until the test is done
    _exit(0);
  }
  close(counted[1]);
  close(release[0]);
  int closed = -1;
  EXPECT_EQ(read(counted[0], &closed, sizeof closed), static_cast<ssize_t>(sizeof closed));
  EXPECT_EQ(closed, kTried - kPerPeer) << "the account keeps its share and no more";
  Normal("while another account holds its share");
  close(release[1]);
  close(counted[0]);
  kill(other, SIGKILL);
  waitpid(other, nullptr, 0);
}

TEST_F(LimitsTest, StagedFilesWithoutAnOwnerAreSweptAtStart) {
  const std::string staging = z_.dir() + "/staging";
  for (const char* name : {"upload-0123.part", "upload-0123.matches", "web-AbCdEf", "put-OLD"})
    ASSERT_TRUE(WriteFile(staging + "/" + name, "left by a crash"));
  // A `zelmicd put` still writing its file holds it locked.
  const int owned = open((staging + "/put-LIVE").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(owned, 0);
  ASSERT_EQ(flock(owned, LOCK_EX), 0);
  Prepare({});
  std::vector<std::string> left;
  if (DIR* dir = opendir(staging.c_str())) {
    while (dirent* e = readdir(dir))
      if (e->d_name[0] != '.') left.push_back(e->d_name);
    closedir(dir);
  }
  close(owned);
  EXPECT_EQ(left, std::vector<std::string>{"put-LIVE"});
}

TEST_F(LimitsTest, TheFileSizeLimitFailsTheUploadNotTheServer) {
  // The server inherits a file size limit that a part will cross.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 1 << 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Prepare({});
  setrlimit(RLIMIT_FSIZE, &saved);
  const std::string content(3 << 20, 'z');
  HttpResult put = SignedRequest(
      z_.api_host(), ann_, "PUT", 1, "/big%2Ebin",
      {"x-zm-filehash: " + Sha1Hex(content), "x-zm-filesize: " + std::to_string(content.size())});
  ASSERT_EQ(put.status, 200);
  UploadTestClient client(z_.upload_port());
  std::string session;
  long piecelen = 0;
  ASSERT_EQ(client
                .Init(ann_, Str(ParseJson(put.body), "hash"), Sha1Hex(content), content.size(),
                      session, piecelen)
                .status,
            200);
  // Six parts, the third crossing the limit. The writes go on behind the answers, so which later
  // part first meets the failed write varies; every part is offered anyway. The finish waits for
  // every write and answers the store's failure, a 500: never a commit, nor a client's mistake.
  const uint64_t step = content.size() / 6;
  for (uint64_t first = 0; first < content.size(); first += step) {
    client.Part(session, content, first, step);
  }
  EXPECT_EQ(client.Finish(session, content.size()).status, 500);
  EXPECT_EQ(kill(z_.pid(), 0), 0) << "SIGXFSZ must not end the server";
  EXPECT_EQ(Call(ann_, "GET", 1, "/big%2Ebin").status, 404);
  // The same through the page's form: the store's failure is a 5xx, not the user's mistake.
  const std::string cookie = WebLogin(z_.web_base(), "ann", kAnnPassword);
  const std::string csrf =
      HiddenField(HttpRequest("GET", z_.web_base() + "/", {cookie}).body, "csrf");
  auto part = [](const std::string& head, const std::string& value) {
    return "--XyZzy\r\nContent-Disposition: form-data; name=" + head + "\r\n\r\n" + value + "\r\n";
  };
  const std::string form = part("\"csrf\"", csrf) + part("\"mount\"", "1") +
                           part("\"file\"; filename=\"big.bin\"", content) + "--XyZzy--\r\n";
  EXPECT_EQ(HttpRequest("POST", z_.web_base() + "/upload",
                        {cookie, "Content-Type: multipart/form-data; boundary=XyZzy",
                         OriginHeader(z_.web_base())},
                        form)
                .status,
            500);
  EXPECT_EQ(Call(ann_, "GET", 1, "/big%2Ebin").status, 404);
  Normal("after a write over the size limit");
}

}  // namespace
}  // namespace zelmic_test
