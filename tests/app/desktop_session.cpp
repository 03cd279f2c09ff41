#include "tests/app/desktop_session.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/window_registry.h"

namespace plumet_test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void MakeDir(const std::string& path) { std::filesystem::create_directories(path); }

}  // namespace

std::string PlumetPath() { return PLUMET_PATH; }
std::string FakeServicesPath() { return FAKE_SERVICES_PATH; }

std::string LaunchUrl(int mount, const std::string& remotePath, const std::string& token) {
  const std::string fields = std::to_string(mount) + "|" + remotePath + "|" + token;
  std::string out(4 * ((fields.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(fields.data()),
                                static_cast<int>(fields.size()));
  out.resize(static_cast<size_t>(n));
  return "plumet://" + out + "/";
}

namespace {

// The TMPDIR the test process started with: earlier sessions in this process replaced it.
const std::string& StartingTempBase() {
  static const std::string base = TempBase();
  return base;
}

}  // namespace

DesktopSession::DesktopSession() : root_("plumet-desk", StartingTempBase()) {
  if (!root_.ok()) return;
  for (const char* name :
       {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME",
        "XDG_RUNTIME_DIR", "TMPDIR", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY",
        "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
        "BROWSER", "QT_QPA_PLATFORM", "ASAN_OPTIONS"}) {
    const char* value = std::getenv(name);
    saved_.push_back({name, value != nullptr, value != nullptr ? value : ""});
  }
  for (const char* dir : {"home", "config", "data", "state", "cache", "tmp", "run"}) {
    MakeDir(Path(dir));
  }
  chmod(Path("run").c_str(), 0700);
  setenv("HOME", Path("home").c_str(), 1);
  setenv("XDG_CONFIG_HOME", Path("config").c_str(), 1);
  setenv("XDG_DATA_HOME", Path("data").c_str(), 1);
  setenv("XDG_STATE_HOME", Path("state").c_str(), 1);
  setenv("XDG_CACHE_HOME", Path("cache").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", Path("run").c_str(), 1);
  setenv("TMPDIR", Path("tmp").c_str(), 1);
  // Nothing of a desktop the tests did not start: no bus, no display, no desktop-specific openers.
  for (const char* name :
       {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP",
        "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID", "BROWSER"}) {
    unsetenv(name);
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // A start with a link runs the resident apart and ends: the resident then becomes our child, so
  // tests wait for it and end it by its id like any process they started.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
}

DesktopSession::~DesktopSession() {
  for (auto it = started_.rbegin(); it != started_.rend(); ++it) Kill(*it, SIGTERM);
  // A resident started apart that no test adopted.
  if (const pid_t left = PublishedResident(); left > 0) Kill(left, SIGTERM);
  StopServices();
  if (display_ > 0) Kill(display_, SIGTERM);
  if (bus_ > 0) Kill(bus_, SIGTERM);
  for (const Saved& s : saved_) {
    if (s.set) {
      setenv(s.name.c_str(), s.value.c_str(), 1);
    } else {
      unsetenv(s.name.c_str());
    }
  }
}

pid_t DesktopSession::Start(const std::vector<std::string>& argv) {
  const std::string name = argv[0].substr(argv[0].rfind('/') + 1);
  const std::string out = Path(name + ".out");
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid > 0) started_.push_back(pid);
  return pid;
}

int DesktopSession::WaitExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      started_.erase(std::remove(started_.begin(), started_.end(), pid), started_.end());
      return status;
    }
    if (r < 0 || Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(5ms);
  }
}

void DesktopSession::Kill(pid_t pid, int signal) {
  if (pid <= 0) return;
  kill(pid, signal);
  if (WaitExit(pid, 5s) == -1) {
    kill(pid, SIGKILL);
    WaitExit(pid, 5s);
  }
  started_.erase(std::remove(started_.begin(), started_.end(), pid), started_.end());
}

bool DesktopSession::WaitForFile(const std::string& path, std::chrono::milliseconds limit) const {
  const auto deadline = Clock::now() + limit;
  while (access(path.c_str(), F_OK) != 0) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

bool DesktopSession::StartBus() {
  const std::string socket = Path("bus");
  const std::string address = "unix:path=" + socket;
  bus_ = Start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address});
  started_.pop_back();  // ended last, by the destructor
  if (bus_ <= 0 || !WaitForFile(socket, 10s)) return false;
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  return true;
}

bool DesktopSession::StartServices(bool watcher) {
  std::vector<std::string> argv = {FakeServicesPath(), Path("services.log")};
  if (watcher) argv.push_back("--watcher");
  const size_t before = CountLog("ready");
  services_ = Start(argv);
  started_.pop_back();
  const auto deadline = Clock::now() + 10s;
  while (CountLog("ready") == before) {
    if (Clock::now() >= deadline || WaitExit(services_, 0ms) != -1) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

void DesktopSession::StopServices() {
  if (services_ > 0) Kill(services_, SIGTERM);
  services_ = -1;
}

bool DesktopSession::StartDisplay() {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    const std::string fd = std::to_string(fds[1]);
    // -noreset: a passing client (xdg-open probes the display with xprop) must not make the
    // server reset, and refuse connections meanwhile, when it leaves.
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-noreset",
           "-nolisten", "tcp", "-nolisten", "unix", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  display_ = pid;
  std::string number;
  pollfd p = {fds[0], POLLIN, 0};
  const auto deadline = Clock::now() + 10s;
  while (Clock::now() < deadline && number.find('\n') == std::string::npos) {
    if (poll(&p, 1, 100) <= 0) continue;
    char c[16];
    const ssize_t n = read(fds[0], c, sizeof c);
    if (n <= 0) break;
    number.append(c, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (number.find('\n') == std::string::npos) return false;
  number.resize(number.find('\n'));
  setenv("DISPLAY", (":" + number).c_str(), 1);
  unsetenv("QT_QPA_PLATFORM");
  // Sanitizer builds: the leak checker cannot follow the threads of a program on an X display.
  // Qt's X plugin starts its event thread before it loads further plugins with thread-local
  // storage, and at exit the checker's tracer then crashes on that thread (about one exit in
  // two). Programs on a display run without the leak check (the last setting wins); the
  // offscreen tests of the same programs keep it.
  const char* asan = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(), 1);
  return true;
}

std::vector<std::string> DesktopSession::ServiceLog() const {
  std::ifstream in(Path("services.log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t DesktopSession::CountLog(const std::string& part) const {
  const auto lines = ServiceLog();
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(part) != std::string::npos;
  }));
}

bool DesktopSession::WaitForLog(const std::vector<std::string>& parts,
                                std::chrono::milliseconds limit, std::string* found) const {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    for (const std::string& line : ServiceLog()) {
      if (std::all_of(parts.begin(), parts.end(),
                      [&](const std::string& p) { return line.find(p) != std::string::npos; })) {
        if (found != nullptr) *found = line;
        return true;
      }
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

pid_t DesktopSession::PublishedResident() const {
  return platform::FindWindow(Path("run/plumet"), "plumet");
}

pid_t DesktopSession::AdoptResident() {
  const auto deadline = Clock::now() + 10s;
  pid_t pid = 0;
  while ((pid = PublishedResident()) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  if (pid > 0 && std::find(started_.begin(), started_.end(), pid) == started_.end()) {
    started_.push_back(pid);
  }
  return pid;
}

std::string DesktopSession::WindowEntry() const { return Path("run/plumet/plumet.window"); }

std::string DesktopSession::CopyFolder() const {
  return Path("tmp/plumet-" + std::to_string(geteuid()));
}

}  // namespace plumet_test
