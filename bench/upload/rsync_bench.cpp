// A saved edit of a big file back on the service, against rsync doing the same on loopback in
// the same run: the stored copy and the edited file are the same bytes for both (1% of the
// 4 KiB blocks changed), 256 MiB and 1 GiB.
//  - ours: from the start of the upload task (hash, register, the whole delta protocol) to the
//    new version committed on a private zelmicd;
//  - rsync: `rsync --no-whole-file --ignore-times FILE rsync://127.0.0.1:PORT/mod/FILE` (the file
//    is always compared, as ours always is) against an rsync daemon
//    this program starts with a private configuration and ends by its PID.
// Printed per size: the real-time ratio (rsync's time / ours, goal >= 0.8; 1.0 from 1 GiB on),
// the processor time of both sides of each (client process and server process), the bytes each
// client sent (ours at most half of rsync's), and the load average at the time; then the same
// against rsync with its checksums held to MD5, as ours are, and against rsync flushing the new
// file to the device before it ends, as zelmicd does (goal >= 1.0). Rounds alternate between them;
// the best of each counts. Before each round, untimed: the stored copy is put in place on both
// servers, downloaded from zelmicd as the client does before an edit (zelmicd is then left until it
// is idle, as it is while a person edits), the edited file is read into the cache, and everything
// written so far is flushed to the device.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dorvic/dorvic.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/upload/bench_service.h"
#include "bench/upload/bench_support.h"
#include "tests/upload/upload_test_util.h"
#include "upload/upload_task.h"
#include "upload/upload_worker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMount = plumet_bench::kBenchMount;
constexpr int kRounds = 3;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Stamps round `round` into the first bytes of the edited file: the service would otherwise
// answer that it holds the content already. Both tools get the same stamped file.
bool Stamp(const std::string& path, int round) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  const uint64_t stamp = 0x5EED000000000000ull + static_cast<uint64_t>(round);
  const bool ok = ::pwrite(fd, &stamp, sizeof stamp, 0) == static_cast<ssize_t>(sizeof stamp);
  ::close(fd);
  return ok;
}

// An rsync daemon on 127.0.0.1 with one writable module, its configuration in a private folder.
class RsyncDaemon {
 public:
  explicit RsyncDaemon(const plumet_test::ScratchDir& dir) : dir_(dir) {}
  ~RsyncDaemon() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  bool Start() {
    port_ = FreePort();
    const std::string module = dir_.File("module");
    std::filesystem::create_directories(module);
    const std::string config = dir_.File("rsyncd.conf");
    {
      std::ofstream out(config);
      out << "address = 127.0.0.1\nport = " << port_ << "\nuse chroot = no\n"
          << "uid = " << ::getuid() << "\ngid = " << ::getgid() << "\n"
          << "[mod]\n  path = " << module << "\n  read only = no\n";
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0) ::dup2(null, STDOUT_FILENO);
      ::execlp("rsync", "rsync", "--daemon", "--no-detach", ("--config=" + config).c_str(),
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid_ < 0) return false;
    for (int i = 0; i < 200; ++i) {  // up to 10 s for the port to open
      if (Connects()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string ModuleFile(const std::string& name) const { return dir_.File("module/" + name); }
  std::string Url(const std::string& name) const {
    return "rsync://127.0.0.1:" + std::to_string(port_) + "/mod/" + name;
  }
  pid_t pid() const { return pid_; }

 private:
  static int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      port = ntohs(addr.sin_port);
    }
    ::close(fd);
    return port;
  }
  bool Connects() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
  }

  const plumet_test::ScratchDir& dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// rsync's client with `options` besides the ones every run takes; true with its "Total bytes
// sent" when it exits with status 0.
bool RunRsync(const std::string& from, const std::string& url,
              const std::vector<std::string>& options, double& bytesSent) {
  // --ignore-times: the stored copy and the file may share size and modification second.
  std::vector<std::string> args = {"rsync", "--no-whole-file", "--ignore-times", "--stats"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(from);
  args.push_back(url);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (::pipe(fds) != 0) return false;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[0]);
    ::execvp("rsync", argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return false;
  }
  const size_t at = out.find("Total bytes sent: ");
  if (at == std::string::npos) return false;
  std::string digits;
  for (size_t i = at + 18; i < out.size() && out[i] != '\n'; ++i) {
    if (out[i] >= '0' && out[i] <= '9') digits += out[i];
  }
  bytesSent = std::atof(digits.c_str());
  return true;
}

// One timed rsync client run against the daemon.
struct RsyncRun {
  double seconds = 0, clientCpu = 0, serverCpu = 0, bytesSent = 0;
};

bool TimeRsync(const RsyncDaemon& rsync, const std::string& from, const std::string& name,
               const std::vector<std::string>& options, RsyncRun& run) {
  ::sync();  // untimed: nothing of an earlier run is still being written back
  const double child0 = plumet_bench::ChildrenCpuSeconds();
  const double daemon0 = plumet_bench::OtherProcessCpuSeconds(rsync.pid(), true);
  const auto start = Clock::now();
  const bool ok = RunRsync(from, rsync.Url(name), options, run.bytesSent);
  run.seconds = Seconds(Clock::now() - start);
  // The daemon's connection process is reaped by the daemon shortly after the client ends.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  run.clientCpu = plumet_bench::ChildrenCpuSeconds() - child0;
  run.serverCpu = plumet_bench::OtherProcessCpuSeconds(rsync.pid(), true) - daemon0;
  return ok;
}

using plumet_bench::Service;

// One whole upload task, as the worker thread runs it; true when it ended with the new version
// committed through a delta.
bool RunUploadTask(Service& service, const std::string& path, const std::string& remote,
                   double& bytesSent) {
  // Keeps the report the worker tells at its end.
  struct Kept : plumet::UploadObserver {
    void OnUploadFinished(const plumet::UploadReport& told) override { report = told; }
    plumet::UploadReport report;
  } kept;
  std::recursive_mutex lock;
  plumet::UploadJob job;
  job.mount = kMount;
  job.accessToken = upload_test::Widen(service.access);
  job.remotePath = upload_test::Widen(remote);
  job.sourcePath = path;
  plumet::CUploadTask task(job, lock, &kept);
  plumet::UploadThreadProc(&task);
  bytesSent = static_cast<double>(task.bodyBytesSent);
  return kept.report.end == plumet::UploadEnd::kStored && kept.report.delta;
}

void BM_EditedFileStored(benchmark::State& state) {
  const uint64_t size = static_cast<uint64_t>(state.range(0)) << 20;
  plumet_test::ScratchDir dir{"plumet-bench"};
  const std::string stored = dir.File("stored.bin");
  const std::string edited = dir.File("edited.bin");
  Service service;
  RsyncDaemon rsync(dir);
  if (!dir.ok() || !plumet_bench::WriteRandomFile(stored, size, 11) ||
      !plumet_bench::WriteEditedCopy(stored, edited, 1, 12) || !service.Start() || !rsync.Start()) {
    state.SkipWithError("set-up failed");
    return;
  }
  // rsync as it negotiates (the figure the goal is set against); held to MD5 for its block and
  // file checksums, as our protocol is (it picks a much faster hash otherwise); and flushing the
  // new file to the device before it ends, as zelmicd does before it commits a version.
  // The goals: at least 0.8x rsync as negotiated (1.0x from 1 GiB on), at least 1.0x rsync
  // flushing; none against MD5, which is there to show what the hash choice is worth.
  struct Variant {
    const char* prefix;
    std::vector<std::string> options;
    const char* label;
    double goal;
  };
  const Variant variants[] = {
      {"", {}, "", size >= (uint64_t{1} << 30) ? 1.0 : 0.8},
      {"md5-", {"--checksum-choice=md5"}, ", rsync held to MD5", 0},
      {"fsync-", {"--fsync"}, ", rsync flushing the file as zelmicd does", 1.0},
  };
  constexpr size_t kVariants = sizeof variants / sizeof variants[0];
  const pid_t zelmicd = service.zelmic.pid();
  for (auto _ : state) {
    double ours = 1e9, oursCpu = 0, oursServerCpu = 0, oursBytes = 0;
    RsyncRun best[kVariants];
    for (RsyncRun& run : best) run.seconds = 1e9;
    for (int round = 0; round < kRounds; ++round) {
      // Untimed: the stored copy in place on both servers, the round's stamp on the file.
      const std::string name = "edited-" + std::to_string(round) + ".bin";
      service.zelmic.Put(kMount, stored, "/bench/" + name);
      for (const Variant& v : variants) {
        std::filesystem::copy_file(stored, rsync.ModuleFile(v.prefix + name),
                                   std::filesystem::copy_options::overwrite_existing);
      }
      // As before a real edit: the client downloads the version it edits, and the person
      // editing gives the service time to finish what it does after such a download.
      if (!service.Download("/bench/" + name, size) || !service.WaitIdle()) {
        state.SkipWithError("the stored version could not be downloaded");
        return;
      }
      if (!Stamp(edited, round)) {
        state.SkipWithError("cannot stamp the file");
        return;
      }
      // Pages of the edited file in the cache for both, as after an editor's save; the set-up's
      // writes on the device, so that neither tool's time includes writing them back.
      upload_test::ReadAll(edited);
      ::sync();

      const double cpu0 = plumet_bench::ProcessCpuSeconds();
      const double server0 = plumet_bench::OtherProcessCpuSeconds(zelmicd, false);
      const auto start = Clock::now();
      double sent = 0;
      const bool ok = RunUploadTask(service, edited, "/bench/" + name, sent);
      const double seconds = Seconds(Clock::now() - start);
      const double cpu = plumet_bench::ProcessCpuSeconds() - cpu0;
      const double serverCpu = plumet_bench::OtherProcessCpuSeconds(zelmicd, false) - server0;
      if (!ok) {
        state.SkipWithError("the delta upload failed");
        return;
      }
      if (seconds < ours) {
        ours = seconds, oursCpu = cpu, oursServerCpu = serverCpu, oursBytes = sent;
      }
      // Each round starts with another variant: the first write after the set-up pays for
      // page cache the others then reuse, and no variant should always be the one that pays.
      for (size_t j = 0; j < kVariants; ++j) {
        const size_t i = (j + static_cast<size_t>(round)) % kVariants;
        RsyncRun run;
        if (!TimeRsync(rsync, edited, variants[i].prefix + name, variants[i].options, run)) {
          state.SkipWithError("rsync failed");
          return;
        }
        if (run.seconds < best[i].seconds) best[i] = run;
      }
    }
    const RsyncRun& theirs = best[0];
    state.SetIterationTime(ours);
    state.counters["rsync_s"] = theirs.seconds;
    state.counters["ratio"] = theirs.seconds / ours;
    state.counters["cpu_client_s"] = oursCpu;
    state.counters["cpu_server_s"] = oursServerCpu;
    state.counters["sent_MB"] = oursBytes / 1e6;
    state.counters["rsync_sent_MB"] = theirs.bytesSent / 1e6;
    for (size_t i = 0; i < kVariants; ++i) {
      const RsyncRun& r = best[i];
      char goal[32] = "";
      if (variants[i].goal > 0)
        std::snprintf(goal, sizeof goal, " (goal >= %.2fx)", variants[i].goal);
      std::printf(
          "RATIO edited %4llu MiB stored%s: rsync time / ours %.2fx%s: ours %.3f s (cpu "
          "client %.3f s + server %.3f s, %.2f MB sent), rsync %.3f s (cpu client %.3f s "
          "+ server %.3f s, %.2f MB sent); load %s\n",
          static_cast<unsigned long long>(size >> 20), variants[i].label, r.seconds / ours, goal,
          ours, oursCpu, oursServerCpu, oursBytes / 1e6, r.seconds, r.clientCpu, r.serverCpu,
          r.bytesSent / 1e6, LoadAverage().c_str());
    }
    std::printf("RATIO edited %4llu MiB stored: bytes sent, ours / rsync's %.2f (goal <= 0.50)\n",
                static_cast<unsigned long long>(size >> 20), oursBytes / theirs.bytesSent);
  }
}
BENCHMARK(BM_EditedFileStored)
    ->Arg(256)
    ->Arg(1024)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
