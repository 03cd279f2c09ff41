#pragma once
// The real components between a client and zelmicd, as users meet them, started by the test on
// 127.0.0.1 with private configuration in a private folder and ended by their PIDs:
//
//   zelmic_test::TestCertificates certs;           // a CA and a 127.0.0.1 certificate (openssl)
//   zelmic_test::NginxFront front;                 // nginx: TLS, HTTP/2 where asked
//   uint16_t api = front.Add(z.api_port(), true);  // a TLS port in front of a listener
//   ASSERT_TRUE(front.Start(certs));
//   zelmic_test::ForwardProxy proxy;               // tinyproxy, CONNECT to any loopback port
//   ASSERT_TRUE(proxy.Start());
//
// Clients trust the CA the way a user would: SSL_CERT_FILE=certs.ca_file().

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace zelmic_test {

// A port on 127.0.0.1 that nobody held a moment ago, below the kernel's ephemeral range (for
// servers that must be told their port before they start). 0 on failure.
uint16_t FreeLoopbackPort();

// A test CA made at test time, and a server certificate it signed for 127.0.0.1 and localhost.
class TestCertificates {
 public:
  TestCertificates();
  bool ok() const { return ok_; }
  std::string ca_file() const { return folder_.path() + "/ca.pem"; }
  std::string cert_file() const { return folder_.path() + "/server.pem"; }
  std::string key_file() const { return folder_.path() + "/server.key"; }

 private:
  plumet_test::ScratchDir folder_;
  bool ok_ = false;
};

// A child process with its output in `log`, ended by its PID (SIGTERM, bounded wait, SIGKILL).
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool Spawn(const std::vector<std::string>& argv, const std::string& log);
  void Stop();
  bool Running();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// nginx as a TLS front of loopback listeners.
class NginxFront {
 public:
  NginxFront();
  ~NginxFront();
  // A TLS port forwarding to 127.0.0.1:backend_port; HTTP/2 is offered (ALPN) when http2.
  // Returns the front's port (0 when none was free). Call before Start.
  uint16_t Add(uint16_t backend_port, bool http2);
  bool Start(const TestCertificates& certs);
  void Stop() { process_.Stop(); }
  std::string log() const;  // nginx's error log, for failure messages

 private:
  struct Route {
    uint16_t front, backend;
    bool http2;
  };
  plumet_test::ScratchDir folder_;
  std::vector<Route> routes_;
  ChildProcess process_;
};

// tinyproxy as the user's forward proxy (CONNECT and plain requests).
class ForwardProxy {
 public:
  ForwardProxy();
  bool Start();
  void Stop() { process_.Stop(); }
  uint16_t port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Lines of its log that record a CONNECT (one per tunnel it opened).
  int ConnectCount() const;

 private:
  plumet_test::ScratchDir folder_;
  uint16_t port_ = 0;
  ChildProcess process_;
};

}  // namespace zelmic_test
