// zelmicd's form readers behind libmicrohttpd, as a client reaches them: the token form of
// "/oauth/token" (URL-encoded or multipart), the web page's upload form (multipart) and the web
// page's query. Each input is one request body sent over loopback to listeners of this process;
// its first byte picks the form and the content type.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/endpoints.h"
#include "service/faults.h"
#include "service/store.h"
#include "service/token_server.h"
#include "service/web_server.h"

namespace {

constexpr const char* kBoundary = "plumetfuzzboundary";

struct Service {
  Service() {
    // On tmpfs where there is one: the store syncs every commit, which a disk makes slow.
    char pattern[] = "/dev/shm/plumet-fuzz-forms-XXXXXX";
    char fallback[] = "/tmp/plumet-fuzz-forms-XXXXXX";
    char* made = ::mkdtemp(pattern);
    if (made == nullptr) made = ::mkdtemp(fallback);
    if (made == nullptr) __builtin_trap();
    root = made;
    const std::string dir = root + "/data";
    std::string error, refresh;
    if (!zelmic::Store::Create(dir, error)) __builtin_trap();
    store = zelmic::Store::Open(dir, error);
    if (!store || !store->AddUser("ann", {1}, refresh, error)) __builtin_trap();
    token = std::make_unique<zelmic::TokenServer>(*store, faults, plumet_defaults::kClientId,
                                                  plumet_defaults::kClientSecret);
    keeper = std::make_unique<zelmic::ChecksumKeeper>(dir);
    web = std::make_unique<zelmic::WebServer>(*store, faults, zelmic::WebOptions{}, *keeper);
    if (!token->Start(0, error) || !web->Start(0, error)) __builtin_trap();
  }
  ~Service() {
    web.reset();
    keeper.reset();
    token.reset();
    store.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  std::string root;
  zelmic::FaultScript faults;
  std::unique_ptr<zelmic::Store> store;
  std::unique_ptr<zelmic::TokenServer> token;
  std::unique_ptr<zelmic::ChecksumKeeper> keeper;
  std::unique_ptr<zelmic::WebServer> web;
};

// Sends `request` to 127.0.0.1:port and reads until the server closes (bounded).
void Exchange(uint16_t port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) __builtin_trap();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) __builtin_trap();
  // An answer written in pieces would otherwise wait for our delayed acknowledgement each time.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may answer and close before the whole body arrived
    sent += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  char buffer[4096];
  for (int rounds = 0; rounds < 1000; ++rounds) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    if (::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  ::close(fd);
}

}  // namespace

// The listeners end each connection on a thread of their own, after the input has returned: a
// leak check between inputs would meet those threads half-way through their exit (OpenSSL's
// per-thread state in flight) and report it. Leaks are checked at exit instead, once the
// listeners have stopped and joined every connection thread.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args;
  args.assign(*argv, *argv + *argc);
  static char noPerInputLeakCheck[] = "-detect_leaks=0";
  args.insert(args.begin() + 1, noPerInputLeakCheck);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size() - 1);
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Service service;
  if (size == 0) return 0;
  const uint8_t pick = data[0] % 4;
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string multipart = std::string("multipart/form-data; boundary=") + kBoundary;
  std::string request;
  uint16_t port = service.token->port();
  switch (pick) {
    case 0:
    case 1:
      request = "POST /oauth/token HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " +
                (pick == 0 ? std::string("application/x-www-form-urlencoded") : multipart);
      break;
    case 2:
      port = service.web->port();
      request = "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + multipart;
      break;
    default: {
      // The page's query: the body goes into the request target as it is, up to a line break.
      port = service.web->port();
      const std::string query = body.substr(0, body.find_first_of("\r\n "));
      Exchange(port, "GET /?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
      return 0;
    }
  }
  request += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
             body;
  Exchange(port, request);
  return 0;
}
