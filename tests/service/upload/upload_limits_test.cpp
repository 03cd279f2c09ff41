// What the upload server holds for a client, and for how long: requests refused from their head,
// one body per session and the memory all bodies and each user's may take, sessions per user
// without descriptors, the expiry timer, match lists kept on disk, and a part that cannot be
// written.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include "service/upload/upload_service.h"
#include "tests/service/upload/upload_server_fixture.h"

namespace zelmic {
namespace {

// A connection that sends a request head and maybe some body, then waits.
class RawConnection {
 public:
  RawConnection(uint16_t port, const std::string& bytes) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
      ADD_FAILURE() << "cannot send to the upload server";
  }
  ~RawConnection() {
    if (fd_ >= 0) close(fd_);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // The status of the answer that arrives within timeout_ms, 0 when none does.
  int Status(int timeout_ms) {
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (answer.find("\r\n") == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[512];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
    return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : 0;
  }

 private:
  int fd_ = -1;
};

std::string PartHead(const std::string& session, uint64_t first, uint64_t size, uint64_t length) {
  return "PUT /upload_part HTTP/1.1\r\nHost: x\r\nx-zm-upload-session: " + session +
         "\r\nx-zm-upload-range: " + std::to_string(first) + "-" +
         std::to_string(first + size - 1) +
         "\r\nx-zm-upload-crc: 0\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++n;
    closedir(dir);
  }
  return n;
}

std::vector<std::string> StagedFiles(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

TEST_F(UploadServerTest, PartsAreRefusedFromTheHeadBeforeTheBodyIsRead) {
  const std::string content = RandomBytes(4 * kPart, 21);
  long piecelen = -1;
  const std::string session = Open(content, piecelen);
  ASSERT_EQ(client_->Part(session, content, 0, kPart).status, 200);
  struct Case {
    const char* what;
    std::string head;
    int status;
  };
  const uint64_t big = kMaxPartSize;
  for (const Case& c : std::vector<Case>{
           {"unknown session", PartHead("nosuch", 0, big, big), 401},
           {"part over the limit", PartHead(session, kPart, big + 1, big + 1), 413},
           {"length differs from range", PartHead(session, kPart, kPart, big), 400},
           {"not where the content goes on", PartHead(session, 2 * kPart, kPart, kPart), 409},
           {"past the end", PartHead(session, kPart, 4 * kPart, 4 * kPart), 400},
           {"bad range",
            "PUT /upload_part HTTP/1.1\r\nHost: x\r\nx-zm-upload-session: " + session +
                "\r\nx-zm-upload-range: 9-1\r\nContent-Length: 9\r\n\r\n",
            400},
           {"a body where none belongs",
            "POST /upload_req HTTP/1.1\r\nHost: x\r\nx-zm-upload-session: " + session +
                "\r\nContent-Length: 1000000\r\n\r\n",
            400}}) {
    // Only the head is sent: the answer must come without the body.
    RawConnection connection(server_.port(), c.head);
    EXPECT_EQ(connection.Status(5000), c.status) << c.what;
  }
  EXPECT_EQ(Held(session), kPart);
}

// Opens a session of user_id whose next part may be as large as a part can be.
std::string OpenLarge(zelmic_test::FakeBackend& backend, UploadTestClient& client, int64_t user_id,
                      int file) {
  const std::string pathhash = "large-" + std::to_string(user_id) + "-" + std::to_string(file);
  const std::string token = "token-of-" + std::to_string(user_id);
  const uint64_t size = 2 * kMaxPartSize;
  backend.RegisterTicket({pathhash, "user" + std::to_string(user_id), user_id, 1,
                          "/large" + std::to_string(file), std::string(40, 'a'), size},
                         token);
  std::string session;
  long piecelen = 0;
  EXPECT_EQ(client.Init(token, pathhash, std::string(40, 'a'), size, session, piecelen).status,
            200);
  return session;
}

// Waits (bounded) until every connection has an answer and counts the 503s among them.
int CountBusyAnswers(std::vector<std::unique_ptr<RawConnection>>& connections, size_t expected) {
  std::vector<bool> answered(connections.size(), false);
  size_t answers = 0;
  int busy = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (answers < expected && std::chrono::steady_clock::now() < deadline) {
    for (size_t i = 0; i < connections.size(); ++i) {
      if (answered[i]) continue;
      const int status = connections[i]->Status(5);
      if (status == 0) continue;
      answered[i] = true;
      ++answers;
      busy += status == 503;
    }
  }
  return busy;
}

TEST_F(UploadServerTest, OneUserCannotHoldTheBodyBudgetAgainstAnother) {
  constexpr int64_t kAlice = 1, kBob = 2;
  // Alice's connections announce full parts and send nothing: only one body of a session may be
  // arriving, and an announced body holds no memory until its bytes come.
  const std::string alice = OpenLarge(backend_, *client_, kAlice, 0);
  std::vector<std::unique_ptr<RawConnection>> same;
  for (int i = 0; i < 17; ++i)
    same.push_back(std::make_unique<RawConnection>(server_.port(),
                                                   PartHead(alice, 0, kMaxPartSize, kMaxPartSize)));
  EXPECT_EQ(CountBusyAnswers(same, 16), 16) << "one part of a session at a time";
  EXPECT_EQ(server_.buffered_bytes(), 0u);
  // Four more sessions of hers each get all but the last byte of a full part in: her share of the
  // budget is four parts, so a fifth part is refused as its bytes arrive, and Bob still gets in.
  std::vector<std::unique_ptr<RawConnection>> bodies;
  const std::string almost(kMaxPartSize - 1, 'x');
  for (uint64_t file = 1; file <= 4; ++file) {
    const std::string session = OpenLarge(backend_, *client_, kAlice, static_cast<int>(file));
    bodies.push_back(std::make_unique<RawConnection>(
        server_.port(), PartHead(session, 0, kMaxPartSize, kMaxPartSize) + almost));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server_.buffered_bytes() != file * kMaxPartSize &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(server_.buffered_bytes(), file * kMaxPartSize);
  }
  const std::string fifth = OpenLarge(backend_, *client_, kAlice, 5);
  RawConnection over(server_.port(), PartHead(fifth, 0, kMaxPartSize, kMaxPartSize) + almost + "x");
  EXPECT_EQ(over.Status(10000), 503);
  EXPECT_EQ(server_.buffered_bytes(), 4 * kMaxPartSize);
  const std::string bob = OpenLarge(backend_, *client_, kBob, 0);
  EXPECT_EQ(client_->Part(bob, RandomBytes(kMaxPartSize, 3), 0, 1 << 20).status, 200);
  same.clear();
  bodies.clear();  // their budget comes back once the server sees them go
  const auto back = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server_.buffered_bytes() != 0 && std::chrono::steady_clock::now() < back)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(server_.buffered_bytes(), 0u);
}

TEST_F(UploadServerTest, SessionsAreBoundedPerUserHoldNoDescriptorAndExpireOnATimer) {
  size_t descriptors = 0;
  for (size_t i = 0; i <= kMaxSessionsPerUser; ++i) {
    const std::string pathhash = "ph-" + std::to_string(i), path = "/f" + std::to_string(i);
    const std::string content = RandomBytes(100, static_cast<unsigned>(i));
    backend_.Register(pathhash, kToken, path, content);
    std::string session;
    long piecelen = 0;
    Reply init = client_->Init(kToken, pathhash, zelmic_test::Sha1Hex(content), content.size(),
                               session, piecelen);
    EXPECT_EQ(init.status, i < kMaxSessionsPerUser ? 200 : 429) << i;
    if (i == 0) descriptors = OpenDescriptors();  // the connection is open from here on
  }
  EXPECT_EQ(server_.session_count(), kMaxSessionsPerUser);
  EXPECT_LE(OpenDescriptors(), descriptors) << "an idle session must not keep a descriptor";
  EXPECT_EQ(StagedFiles(backend_.staging_dir()).size(), kMaxSessionsPerUser);
  // With no request at all, the timer forgets them and their staged files go. The files go
  // just after the table lets go of a session (outside its lock), so wait for both.
  server_.set_session_idle_limit(std::chrono::milliseconds(50));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((server_.session_count() != 0 || !StagedFiles(backend_.staging_dir()).empty()) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server_.session_count(), 0u);
  EXPECT_TRUE(StagedFiles(backend_.staging_dir()).empty());
}

TEST_F(UploadServerTest, APartThatCannotBeWrittenDropsTheStagedBytesAndFailsTheFinish) {
  const std::string content = RandomBytes(4 * kPart, 17);
  long piecelen = -1;
  const std::string session = Open(content, piecelen);
  // Files of this process may not grow past two parts, as on a full disk.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto saved_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 2 * kPart;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::vector<long> statuses;
  for (uint64_t at = 0; at < content.size(); at += kPart)
    statuses.push_back(client_->Part(session, content, at, kPart).status);
  // Once the writer met the failure, neither the held count nor the disk claims any of it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  uint64_t held = 1;
  while (held != 0 && std::chrono::steady_clock::now() < deadline) {
    held = Held(session);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, saved_handler);
  EXPECT_EQ(statuses[0], 200);
  EXPECT_EQ(statuses[1], 200);
  EXPECT_EQ(held, 0u);
  for (const std::string& name : StagedFiles(backend_.staging_dir())) {
    struct stat st {};
    ASSERT_EQ(stat((backend_.staging_dir() + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0) << name;
  }
  EXPECT_EQ(client_->Part(session, content, 0, kPart).status, 500);
  EXPECT_EQ(client_->Finish(session, content.size()).status, 500)
      << "a lost part must never be committed";
  EXPECT_EQ(backend_.commit_count(), 0);
  EXPECT_EQ(client_->Req(session).status, 401);
}

}  // namespace
}  // namespace zelmic
