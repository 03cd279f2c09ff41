#include "tests/support/loopback_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "tests/support/zelmic_process.h"

namespace zelmic_test {

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool Accepts(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const sockaddr_in addr = Loopback(port);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// Waits (bounded) until every port accepts connections or the process has gone.
bool WaitForPorts(ChildProcess& process, const std::vector<uint16_t>& ports) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!process.Running()) return false;
    bool all = true;
    for (uint16_t port : ports) all = all && Accepts(port);
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string Quiet(const std::string& command) { return command + " >/dev/null 2>&1"; }

// Whether nothing holds port on 127.0.0.1 (no listener, no connection in TIME_WAIT).
bool CanBind(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const sockaddr_in addr = Loopback(port);
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// The first port the kernel hands to outgoing connections.
uint16_t EphemeralLow() {
  std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
  unsigned low = 0;
  if (!(in >> low) || low > 65535) return 32768;
  return static_cast<uint16_t>(low);
}

}  // namespace

uint16_t FreeLoopbackPort() {
  // Not from the ephemeral range: there every outgoing connection of a parallel test may take
  // the port between this check and the server's bind. Below it only other tests' servers
  // choose, at random, so two picks rarely meet. Within this process a port is handed out once:
  // a test picks several ports before it starts anything, so "free" alone would repeat them.
  constexpr uint16_t kLowest = 10000;
  static std::mutex guard;
  static std::vector<bool> handed(65536);
  const std::lock_guard lock(guard);
  const uint16_t below = EphemeralLow();
  if (below > kLowest + 1000) {
    static std::mt19937 pick(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
    std::uniform_int_distribution<int> in_range(kLowest, below - 1);
    for (int attempt = 0; attempt < 64; ++attempt) {
      const auto port = static_cast<uint16_t>(in_range(pick));
      if (handed[port] || !CanBind(port)) continue;
      handed[port] = true;
      return port;
    }
  }
  // A machine whose ephemeral range starts low: let the kernel choose.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

TestCertificates::TestCertificates() : folder_("plumet-ca") {
  if (folder_.path().empty()) return;
  const std::string d = folder_.path();
  const std::string ext = d + "/server.ext";
  if (!WriteFile(ext,
                 "basicConstraints=CA:FALSE\n"
                 "keyUsage=digitalSignature,keyEncipherment\n"
                 "extendedKeyUsage=serverAuth\n"
                 "subjectAltName=IP:127.0.0.1,DNS:localhost\n")) {
    return;
  }
  const std::string commands[] = {
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
      "-subj /CN=plumet-test-ca -keyout " +
          d + "/ca.key -out " + d + "/ca.pem",
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
      "-subj /CN=127.0.0.1 -keyout " +
          d + "/server.key -out " + d + "/server.csr",
      "openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " + d +
          "/ca.key -CAcreateserial -days 2 -extfile " + ext + " -out " + d + "/server.pem",
  };
  for (const std::string& command : commands) {
    if (std::system(Quiet(command).c_str()) != 0) return;
  }
  ok_ = true;
}

bool ChildProcess::Spawn(const std::vector<std::string>& argv, const std::string& log) {
  Stop();
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  pid_ = pid;
  return true;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 250; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

NginxFront::NginxFront() : folder_("plumet-nginx") {}

NginxFront::~NginxFront() { Stop(); }

uint16_t NginxFront::Add(uint16_t backend_port, bool http2) {
  const uint16_t port = FreeLoopbackPort();
  if (port != 0) routes_.push_back({port, backend_port, http2});
  return port;
}

bool NginxFront::Start(const TestCertificates& certs) {
  if (folder_.path().empty() || !certs.ok() || routes_.empty()) return false;
  const std::string d = folder_.path();
  std::ostringstream conf;
  // One process in the foreground, every file in the private folder.
  conf << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << d << "/nginx.pid;\n"
       << "error_log " << d << "/error.log warn;\n"
       << "events { worker_connections 128; }\n"
       << "http {\n  access_log off;\n"
       << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
       << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
       << "  scgi_temp_path " << d << "/scgi;\n"
       << "  client_max_body_size 0;\n  proxy_http_version 1.1;\n  proxy_buffering off;\n"
       << "  proxy_request_buffering off;\n  proxy_set_header Host $http_host;\n"
       << "  proxy_set_header Connection \"\";\n"
       // One request per client connection: through a proxy, every request opens a tunnel of
       // its own, and its answer comes after the proxy's answer to CONNECT.
       << "  keepalive_requests 1;\n"
       << "  ssl_certificate " << certs.cert_file() << ";\n"
       << "  ssl_certificate_key " << certs.key_file() << ";\n";
  std::vector<uint16_t> ports;
  for (const Route& r : routes_) {
    conf << "  server {\n    listen 127.0.0.1:" << r.front << " ssl" << (r.http2 ? " http2" : "")
         << ";\n    location / { proxy_pass http://127.0.0.1:" << r.backend << "; }\n  }\n";
    ports.push_back(r.front);
  }
  conf << "}\n";
  if (!WriteFile(d + "/nginx.conf", conf.str())) return false;
  const char* nginx = std::getenv("PLUMET_NGINX");
  if (!process_.Spawn({nginx != nullptr ? nginx : "/usr/sbin/nginx", "-p", d, "-e",
                       d + "/error.log", "-c", d + "/nginx.conf"},
                      d + "/out.log")) {
    return false;
  }
  return WaitForPorts(process_, ports);
}

std::string NginxFront::log() const {
  return ReadFile(folder_.path() + "/error.log") + ReadFile(folder_.path() + "/out.log");
}

ForwardProxy::ForwardProxy() : folder_("plumet-proxy") {}

bool ForwardProxy::Start() {
  if (folder_.path().empty()) return false;
  port_ = FreeLoopbackPort();
  if (port_ == 0) return false;
  const std::string d = folder_.path();
  // No ConnectPort line: CONNECT is allowed to every port (the fronts use ephemeral ones).
  const std::string conf = "Port " + std::to_string(port_) +
                           "\nListen 127.0.0.1\nTimeout 30\nMaxClients 32\n"
                           "Allow 127.0.0.1\nLogLevel Info\nLogFile \"" +
                           d +
                           "/tinyproxy.log\"\n"
                           "PidFile \"" +
                           d + "/tinyproxy.pid\"\n";
  if (!WriteFile(d + "/tinyproxy.conf", conf)) return false;
  if (!process_.Spawn({"/usr/bin/tinyproxy", "-d", "-c", d + "/tinyproxy.conf"}, d + "/out.log")) {
    return false;
  }
  return WaitForPorts(process_, {port_});
}

int ForwardProxy::ConnectCount() const {
  std::istringstream log(ReadFile(folder_.path() + "/tinyproxy.log"));
  int n = 0;
  for (std::string line; std::getline(log, line);) {
    if (line.find("CONNECT ") != std::string::npos && line.find("Request") != std::string::npos)
      ++n;
  }
  return n;
}

}  // namespace zelmic_test
