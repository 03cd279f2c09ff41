// A listener of another account on a loopback port gets nothing from the token exchange, the REST
// library (through dorvicctl) or the upload engine; one of our own (root's) gets the request.
// The other account's listener runs in a child that drops to "nobody" before it binds, so the
// test needs root; each listener counts the connections it accepted.

#include <arpa/inet.h>
#include <dorvic/dorvic.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "auth/token_refresh.h"
#include "tests/dorvic/process_runner.h"
#include "upload/upload_task.h"

namespace {

constexpr int kNobody = 65534;

bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

// Child side: reads one request (headers, then Content-Length bytes), answers, closes.
void Serve(int c, const std::string& answer) {
  char buf[16384];
  size_t have = 0;
  for (int i = 0; i < 100 && have < sizeof buf && Readable(c, 100); ++i) {
    const ssize_t n = ::read(c, buf + have, sizeof buf - have);
    if (n <= 0) break;
    have += static_cast<size_t>(n);
    const void* end = ::memmem(buf, have, "\r\n\r\n", 4);
    if (end == nullptr) continue;
    const char* length = ::strcasestr(buf, "\r\ncontent-length:");
    const size_t body = length != nullptr ? std::strtoul(length + 17, nullptr, 10) : 0;
    if (have >= static_cast<size_t>(static_cast<const char*>(end) - buf) + 4 + body) break;
  }
  if (::write(c, answer.data(), answer.size()) < 0) {
  }
  ::close(c);
}

class ChildListener {
 public:
  // `uid` < 0: ours. Every request is answered 200 with `body`.
  ChildListener(int uid, const std::string& body) {
    const std::string answer =
        "HTTP/1.1 200 OK\r\nX-Server: ZELMIC\r\nContent-Type: application/json"
        "\r\nConnection: close\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    int control[2], result[2];
    if (::pipe(control) != 0 || ::pipe(result) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(control[1]);
      if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
        ::_exit(3);
      const int s = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof a;
      if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 8) != 0 ||
          ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        ::_exit(4);
      const uint16_t port = ntohs(a.sin_port);
      if (::write(result[1], &port, sizeof port) != sizeof port) ::_exit(5);
      int accepted = 0;
      for (int i = 0; i < 600; ++i) {  // a minute at most
        pollfd p[2] = {{control[0], POLLIN, 0}, {s, POLLIN, 0}};
        if (::poll(p, 2, 100) <= 0) continue;
        if (p[0].revents != 0) break;  // the parent closed its end: stop
        const int c = ::accept(s, nullptr, nullptr);
        if (c < 0) continue;
        ++accepted;
        Serve(c, answer);
      }
      if (::write(result[1], &accepted, sizeof accepted) < 0) ::_exit(6);
      ::_exit(0);
    }
    ::close(control[0]);
    ::close(result[1]);
    control_ = control[1];
    result_ = result[0];
    if (pid_ > 0 && Readable(result_, 5000) &&
        ::read(result_, &port_, sizeof port_) != sizeof port_)
      port_ = 0;
  }
  ~ChildListener() { Stop(); }

  uint16_t port() const { return port_; }
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }

  // Connections accepted (-1 unknown); the child is ended by its PID.
  int Stop() {
    if (pid_ <= 0) return -1;
    ::close(control_);
    int accepted = -1;
    if (!Readable(result_, 5000) || ::read(result_, &accepted, sizeof accepted) != sizeof accepted)
      accepted = -1;
    ::close(result_);
    int status = 0;
    for (int i = 0; i < 50 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return accepted;
  }

 private:
  pid_t pid_ = -1;
  int control_ = -1, result_ = -1;
  uint16_t port_ = 0;
};

struct Outcome {
  bool refused = false;
  std::string detail;
};

std::string RegistrationNaming(const ChildListener& uploadServer) {
  return R"({"state":0,"hash":"h","version":1,"server":"http://)" + uploadServer.Host() + "\"}";
}

struct KeptReport : plumet::UploadObserver {
  std::optional<plumet::UploadReport> report;
  void OnUploadFinished(const plumet::UploadReport& r) override { report = r; }
};

Outcome Upload(const std::string& apiHost) {
  const std::string file = "/tmp/plumet-owner-upload-" + std::to_string(::getpid());
  std::ofstream(file) << "content";
  dorvic_set_host(std::wstring(apiHost.begin(), apiHost.end()));
  dorvic_set_secret(L"s");
  plumet::UploadJob job;
  job.accessToken = L"t";
  job.remotePath = L"/a.txt";
  job.mount = 1;
  job.sourcePath = file;
  std::recursive_mutex lock;
  KeptReport kept;
  auto task = std::make_unique<plumet::CUploadTask>(job, lock, &kept);
  bool done = false;
  {
    std::lock_guard<std::recursive_mutex> hold(lock);
    done = !task->Start();
  }
  for (int i = 0; i < 600 && !done; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::recursive_mutex> hold(lock);
    done = kept.report.has_value();
  }
  task.reset();
  std::remove(file.c_str());
  if (!kept.report) return {false, "no report"};
  return {kept.report->end == plumet::UploadEnd::kPermanent, kept.report->cause};
}

TEST(ForeignListener, NothingIsSentToAnotherAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a listener as another account";
  curl_global_init(CURL_GLOBAL_DEFAULT);
  const std::string token = R"({"access_token":"A-1"})";
  struct Case {
    const char* name;
    std::string body;  // what the listener under test answers
    std::function<Outcome(const ChildListener&)> run;
  } cases[] = {
      {"token exchange", token,
       [](const ChildListener& l) {
         CURL* curl = curl_easy_init();
         std::wstring access;
         std::string cause;
         const plumet::TokenResult r = plumet::RefreshAccessToken(
             curl, plumet::TokenEndpoint(l.Host()), L"refresh", access, &cause);
         curl_easy_cleanup(curl);
         return Outcome{r != plumet::TokenResult::kOk, cause};
       }},
      {"dorvicctl get", "{}",
       [](const ChildListener& l) {
         const dorvic_test::ProcessResult p = dorvic_test::RunProcess(
             DORVICCTL_PATH, {"--host", l.Host(), "--token", "t", "--mount", "1", "get", "/x"}, {});
         return Outcome{p.exit_code == 1 && p.out.find("refusing") != std::string::npos, p.out};
       }},
      {"upload, REST host", "", [](const ChildListener& l) { return Upload(l.Host()); }},
      {"upload, upload server", "{}",
       [](const ChildListener& l) {
         ChildListener registrar(-1, RegistrationNaming(l));
         return Upload(registrar.Host());
       }},
  };
  for (const Case& c : cases) {
    for (const int uid : {kNobody, -1}) {
      // The REST host's own answer names an upload server of ours.
      ChildListener ours(-1, "{}");
      ChildListener listener(uid, c.body.empty() ? RegistrationNaming(ours) : c.body);
      ASSERT_NE(0, listener.port()) << c.name;
      const Outcome outcome = c.run(listener);
      const int accepted = listener.Stop();
      if (uid == kNobody) {
        EXPECT_TRUE(outcome.refused) << c.name << ": " << outcome.detail;
        EXPECT_NE(std::string::npos, outcome.detail.find("the service on " + listener.Host() +
                                                         " belongs to another user (uid 65534)"))
            << c.name << ": " << outcome.detail;
        EXPECT_EQ(0, accepted) << c.name;
      } else {
        EXPECT_FALSE(outcome.refused) << c.name << ": " << outcome.detail;
        EXPECT_GE(accepted, 1) << c.name;
      }
    }
  }
}

}  // namespace
