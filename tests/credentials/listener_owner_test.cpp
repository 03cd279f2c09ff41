// Reading the kernel's socket tables, and what the credential check makes of them: tables the
// test writes itself, in the form this machine's kernel prints; and the kernel's own answer for
// real listeners of this test.

#include "platform/listener_owner.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "common/credential_guard.h"

namespace {

using platform::ListenerVerdict;

const uint32_t kSelf = static_cast<uint32_t>(::geteuid());
const uint32_t kOther = kSelf + 4242;

std::string Line(const std::string& local, const char* state, uint32_t uid) {
  return "   7: " + local + " 00000000:0000 " + state +
         " 00000000:00000000 00:00000000 00000000  " + std::to_string(uid) +
         "        0 4711 1 0000000000000000 100 0 0 10 0\n";
}

class Tables : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string head = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when\n";
    std::ofstream(tables_.tcp4) << head << Line("0100007F:03E8", "0A", 0)  // 127.0.0.1:1000 root
                                << Line("0100007F:03E9", "0A", kOther)     // 127.0.0.1:1001
                                << Line("00000000:03EA", "0A", kOther)     // 0.0.0.0:1002
                                << Line("0100007F:03ED", "0A", kSelf)      // 127.0.0.1:1005
                                << Line("0100007F:03EF", "01",
                                        kOther);  // 127.0.0.1:1007, not listening
    const std::string any6(32, '0'), one6 = "00000000000000000000000001000000";
    std::ofstream(tables_.tcp6) << head << Line(any6 + ":03EB", "0A", kOther)  // [::]:1003
                                << Line(one6 + ":03EC", "0A", kOther)          // [::1]:1004
                                << Line(one6 + ":03ED", "0A", kOther)          // [::1]:1005
                                << Line("0000000000000000FFFF00000100007F:03EE", "0A",
                                        kOther);  // [::ffff:127.0.0.1]:1006
  }
  void TearDown() override {
    std::remove(tables_.tcp4.c_str());
    std::remove(tables_.tcp6.c_str());
  }
  platform::SocketTables tables_{"/tmp/plumet-tcp4-" + std::to_string(::getpid()),
                                 "/tmp/plumet-tcp6-" + std::to_string(::getpid())};
};

TEST(ParseSocketLine, ColumnsOfBothTables) {
  struct Case {
    std::string line;
    bool ipv6, parsed, listening = false;
    uint8_t last = 0;  // last address byte
    uint16_t port = 0;
    uint32_t uid = 0;
  } cases[] = {
      {Line("0100007F:BAC3", "0A", 1000), false, true, true, 1, 47811, 1000},
      {Line("0200007F:0050", "01", 0), false, true, false, 2, 80, 0},
      {Line("00000000000000000000000001000000:1F90", "0A", 33), true, true, true, 1, 8080, 33},
      {Line("0000000000000000FFFF00000500007F:0016", "0A", 7), true, true, true, 5, 22, 7},
      {"  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n", false,
       false},
      {Line("01Z0007F:0050", "0A", 0), false, false},
      {Line("0100007F:10050", "0A", 0), false, false},
      {Line("0100007F:0050", "0A", 0), true, false},  // an IPv4 address in the IPv6 table
      {"   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000  x1 0 1\n",
       false, false},
  };
  for (const Case& c : cases) {
    const auto entry = platform::ParseSocketLine(c.line, c.ipv6);
    ASSERT_EQ(c.parsed, entry.has_value()) << c.line;
    if (!entry) continue;
    EXPECT_EQ(c.listening, entry->listening) << c.line;
    EXPECT_EQ(c.last, entry->address[15]) << c.line;
    EXPECT_EQ(c.port, entry->port) << c.line;
    EXPECT_EQ(c.uid, entry->uid) << c.line;
  }
}

TEST_F(Tables, WhichListenerAConnectionReaches) {
  struct Case {
    const char* host;
    uint16_t port;
    ListenerVerdict verdict;
  } cases[] = {
      {"127.0.0.1", 1000, ListenerVerdict::kOwned},
      {"127.0.0.1", 1001, ListenerVerdict::kOtherUser},
      {"0.0.0.0", 1001, ListenerVerdict::kOtherUser},    // connects to 127.0.0.1
      {"127.0.0.9", 1002, ListenerVerdict::kOtherUser},  // the IPv4 wildcard takes it
      {"127.0.0.1", 1003, ListenerVerdict::kOtherUser},  // so does the IPv6 one
      {"[::1]", 1004, ListenerVerdict::kOtherUser},
      {"127.0.0.1", 1004, ListenerVerdict::kNoListener},  // ::1 takes no IPv4
      {"127.0.0.1", 1005, ListenerVerdict::kOwned},
      {"localhost", 1005, ListenerVerdict::kOtherUser},  // its ::1 is another's
      {"127.0.0.1", 1006, ListenerVerdict::kOtherUser},  // bound as IPv4-mapped
      {"::ffff:127.0.0.1", 1001, ListenerVerdict::kOtherUser},
      {"127.0.0.1", 1007, ListenerVerdict::kNoListener},
      {"10.0.0.1", 1001, ListenerVerdict::kNotLoopback},
      {"example.com", 1001, ListenerVerdict::kNotLoopback},
  };
  for (const Case& c : cases) {
    const platform::ListenerCheck check = platform::CheckLoopbackListener(c.host, c.port, tables_);
    EXPECT_EQ(static_cast<int>(c.verdict), static_cast<int>(check.verdict))
        << c.host << ":" << c.port;
    if (c.verdict == ListenerVerdict::kOtherUser) {
      EXPECT_EQ(kOther, check.uid) << c.host;
    }
  }
  const platform::SocketTables missing{"/nonexistent/tcp", "/nonexistent/tcp6"};
  EXPECT_EQ(static_cast<int>(ListenerVerdict::kUnreadable),
            static_cast<int>(platform::CheckLoopbackListener("127.0.0.1", 1000, missing).verdict));
}

TEST_F(Tables, RequestsThatMayCarryACredential) {
  const std::string refused =
      "belongs to another user (uid " + std::to_string(kOther) + "); refusing to send credentials";
  struct Case {
    std::string url, proxy, expected;  // "" : the request may go
  } cases[] = {
      {"http://127.0.0.1:1000/oauth/token", "", ""},
      {"http://127.0.0.1:1001/oauth/token", "", "the service on 127.0.0.1:1001 " + refused},
      {"127.0.0.1:1001/api", "", "the service on 127.0.0.1:1001 " + refused},
      {"http://127.1:1001/", "", "the service on 127.0.0.1:1001 " + refused},
      {"http://localhost:1005/", "", "the service on [::1]:1005 " + refused},
      {"http://127.0.0.1:1009/", "", ""},  // nobody listens: the transfer fails by itself
      {"http://example.com/x", "", "over plain HTTP"},
      {"https://example.com/x", "", ""},
      {"http://127.0.0.1:1000/", plumet_transport::ProxyWithPort("127.0.0.1", 1001),
       "the proxy on 127.0.0.1:1001 " + refused},
      {"http://127.0.0.1:1000/", "http://proxy.example:3128", "over plain HTTP"},
      {"https://example.com/", "127.0.0.1:1001", ""},  // a tunnel the proxy cannot read
  };
  for (const Case& c : cases) {
    const std::string refusal = plumet_transport::CredentialRefusal(c.url, c.proxy, tables_);
    if (c.expected.empty()) {
      EXPECT_EQ("", refusal) << c.url;
    } else {
      EXPECT_NE(std::string::npos, refusal.find(c.expected)) << c.url << ": " << refusal;
    }
  }
}

// A listener of this process on `address` (an IPv6 one v6-only or not); its port, 0 on failure.
uint16_t Listen(const char* address, bool v6only, int& fd) {
  sockaddr_storage a{};
  socklen_t len;
  if (std::string(address).find(':') == std::string::npos) {
    auto* in = reinterpret_cast<sockaddr_in*>(&a);
    in->sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &in->sin_addr);
    len = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&a);
    in6->sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, address, &in6->sin6_addr);
    len = sizeof *in6;
  }
  fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int only = v6only ? 1 : 0;
  if (fd < 0 ||
      (a.ss_family == AF_INET6 &&
       ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) != 0) ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 1) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return 0;
  }
  return ntohs(a.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&a)->sin_port
                                      : reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
}

// The kernel names the one listener a connection would reach, as the connection's own lookup
// does: the family, the bound address and v6-only all count (the tables cannot tell v6-only).
TEST(KernelLookup, NamesTheListenerAConnectionReaches) {
  struct Case {
    const char* bound;
    bool v6only;
    const char* host;
    ListenerVerdict verdict;
  } cases[] = {
      {"127.0.0.1", false, "127.0.0.1", ListenerVerdict::kOwned},
      {"127.0.0.1", false, "0.0.0.0", ListenerVerdict::kOwned},
      {"127.0.0.1", false, "localhost", ListenerVerdict::kOwned},
      {"127.0.0.1", false, "[::1]", ListenerVerdict::kNoListener},
      {"127.0.0.2", false, "127.0.0.1", ListenerVerdict::kNoListener},
      {"127.0.0.2", false, "127.0.0.2", ListenerVerdict::kOwned},
      {"::", false, "127.0.0.5", ListenerVerdict::kOwned},  // the dual-stack wildcard takes it
      {"::", false, "[::1]", ListenerVerdict::kOwned},
      {"::", true, "127.0.0.1", ListenerVerdict::kNoListener},
      {"::", true, "::1", ListenerVerdict::kOwned},
  };
  for (const Case& c : cases) {
    int fd = -1;
    const uint16_t port = Listen(c.bound, c.v6only, fd);
    if (port == 0 && std::string(c.bound).find(':') != std::string::npos) {
      if (fd >= 0) ::close(fd);
      GTEST_SKIP() << "no IPv6 on this machine";
    }
    ASSERT_NE(0, port) << c.bound;
    const std::optional<platform::ListenerCheck> asked =
        platform::AskKernelForListener(c.host, port);
    ASSERT_TRUE(asked.has_value()) << "the kernel did not answer";
    EXPECT_EQ(static_cast<int>(c.verdict), static_cast<int>(asked->verdict))
        << c.bound << " asked as " << c.host;
    EXPECT_EQ(static_cast<int>(c.verdict),
              static_cast<int>(platform::CheckLoopbackListener(c.host, port).verdict))
        << c.bound << " asked as " << c.host;
    ::close(fd);
  }
}

}  // namespace
