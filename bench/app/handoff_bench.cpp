// A later start's hand-off: from starting `plumet URL` until the resident side holds the text
// (the listener's delivery, which the resident turns into its launch request at once), against a
// bare process start (/bin/true to its exit) in the same run. The resident side is this process:
// it owns the mutex, publishes the window and runs the real listener, so the later start runs
// exactly the program's own code path.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "app/handoff_block.h"
#include "app/handoff_listener.h"
#include "bench/upload/bench_support.h"
#include "platform/instance_folder.h"
#include "platform/named_mutex.h"
#include "platform/window_registry.h"

namespace {

using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& argv) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

struct Resident {
  std::mutex m;
  std::condition_variable cv;
  int delivered = 0;
  platform::NamedMutex mutex;
  plumet::HandoffListener listener;
  std::string folder;
  bool ok = false;

  explicit Resident(const std::string& runtime) {
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    folder = platform::InstanceFolder();
    ok = !folder.empty() && mutex.TryAcquire(folder, plumet::kMutexName) &&
         listener.Start(folder,
                        [this](std::u16string) {
                          std::lock_guard<std::mutex> lock(m);
                          ++delivered;
                          cv.notify_all();
                        }) &&
         platform::PublishWindow(folder, plumet::kWindowTitle);
  }
};

Resident* g_resident = nullptr;

void BM_Reference_BareProcessStart(benchmark::State& state) {
  for (auto _ : state) {
    const auto begin = Clock::now();
    const pid_t pid = Spawn({"/bin/true"});
    waitpid(pid, nullptr, 0);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
  }
}

void BM_LaterStartHandoff(benchmark::State& state) {
  if (!g_resident->ok) {
    state.SkipWithError("no resident side");
    return;
  }
  const std::string url = "plumet://MXwvZG9jcy9iZW5jaC50eHR8dG9rZW4=/";
  for (auto _ : state) {
    int before;
    {
      std::lock_guard<std::mutex> lock(g_resident->m);
      before = g_resident->delivered;
    }
    const auto begin = Clock::now();
    const pid_t pid = Spawn({PLUMET_PATH, url});
    {
      std::unique_lock<std::mutex> lock(g_resident->m);
      g_resident->cv.wait_for(lock, std::chrono::seconds(10),
                              [&] { return g_resident->delivered > before; });
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("later start failed");
  }
}

BENCHMARK(BM_Reference_BareProcessStart)
    ->UseManualTime()
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LaterStartHandoff)
    ->UseManualTime()
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  plumet_test::ScratchDir scratch{"plumet-bench"};
  // No session bus and no display: the later start never gets that far, and must not need to.
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  mkdir(scratch.File("run").c_str(), 0700);
  Resident resident(scratch.File("run"));
  g_resident = &resident;
  plumet_bench::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("LaterStartHandoff / bare process start (goal: median < 50 ms)",
                      "BM_LaterStartHandoff", "BM_Reference_BareProcessStart", 0);
  benchmark::Shutdown();
  return 0;
}
