#pragma once
// Shared pieces of the upload benchmarks: big scratch files (in the scratch folder of
// tests/support/scratch_dir.h, removed at the end), reference programs run as child processes,
// and the ratios of medians printed after the run.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace plumet_bench {

inline constexpr uint64_t kFileSize = 512ull << 20;

inline void FillRandom(std::vector<unsigned char>& buffer, std::mt19937_64& rng) {
  for (size_t i = 0; i + 8 <= buffer.size(); i += 8) {
    const uint64_t v = rng();
    std::memcpy(&buffer[i], &v, 8);
  }
}

// Writes `size` random bytes, the same for the same seed.
inline bool WriteRandomFile(const std::string& path, uint64_t size, uint64_t seed) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 rng(seed);
  std::vector<unsigned char> chunk(1 << 20);
  for (uint64_t done = 0; done < size; done += chunk.size()) {
    FillRandom(chunk, rng);
    out.write(reinterpret_cast<const char*>(chunk.data()),
              static_cast<std::streamsize>(std::min<uint64_t>(chunk.size(), size - done)));
  }
  return static_cast<bool>(out);
}

// Copies `from` to `to`, changing a few bytes in `percent` % of its 4 KiB blocks.
inline bool WriteEditedCopy(const std::string& from, const std::string& to, int percent,
                            uint64_t seed) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  std::mt19937_64 rng(seed);
  std::vector<char> block(4096);
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    const auto n = in.gcount();
    if (static_cast<int>(rng() % 100) < percent) {
      for (int k = 0; k < 4; ++k) block[rng() % static_cast<uint64_t>(n)] ^= 0x21;
    }
    out.write(block.data(), n);
  }
  return static_cast<bool>(out);
}

// Processor time (user + system) of the whole process (every thread, helper threads of the code
// measured included), and of the waited-for children, in seconds.
inline double ProcessCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Processor time of another process: its own (utime + stime), or that of its waited-for
// children (cutime + cstime), in seconds.
inline double OtherProcessCpuSeconds(pid_t pid, bool children) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<double> fields;  // from field 3 (state) on
  size_t at = close + 2;
  while (at < text.size()) {
    const size_t space = text.find(' ', at);
    fields.push_back(std::atof(text.substr(at, space - at).c_str()));
    if (space == std::string::npos) break;
    at = space + 1;
  }
  if (fields.size() < 15) return 0;
  const size_t first = children ? 13 : 11;  // fields 16/17 or 14/15, counted from 3
  return (fields[first] + fields[first + 1]) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

inline double ChildrenCpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_CHILDREN, &usage);
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs a program with its output sent to /dev/null; true when it exits with status 0.
inline bool RunChild(const std::vector<std::string>& argv) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::FILE* null = std::fopen("/dev/null", "w");
    if (null != nullptr) ::dup2(fileno(null), STDOUT_FILENO);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  if (pid < 0) return false;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Console output as usual, and the median real time of every benchmark kept for the ratios.
// Besides the real time, a benchmark may report the processor time it used (its own thread, or
// its child processes) as the counter "cpu_s"; the machine is shared, so real times carry the
// load of the moment, and the processor times are the steadier comparison.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if (!median && !single) continue;
      medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
      const auto cpu = run.counters.find("cpu_s");
      if (cpu != run.counters.end()) cpuMedians_[run.run_name.function_name] = cpu->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints "label: reference time / our time" (how many times faster we are) against a goal.
  void PrintRatio(const std::string& label, const std::string& ours, const std::string& reference,
                  double goal) const {
    const auto o = medians_.find(ours);
    const auto r = medians_.find(reference);
    if (o == medians_.end() || r == medians_.end() || o->second <= 0) {
      std::printf("RATIO %-44s n/a (not run)\n", label.c_str());
      return;
    }
    const double ratio = r->second / o->second;
    std::printf("RATIO %-48s real time %6.2fx", label.c_str(), ratio);
    const auto oc = cpuMedians_.find(ours);
    const auto rc = cpuMedians_.find(reference);
    if (oc != cpuMedians_.end() && rc != cpuMedians_.end() && oc->second > 0) {
      std::printf(", processor time %6.2fx", rc->second / oc->second);
    }
    if (goal > 0) std::printf("  (goal >= %.2fx)", goal);
    std::printf("\n");
  }

  // The median real time of `name` in its own time unit; 0 when it did not run.
  double Median(const std::string& name) const {
    const auto it = medians_.find(name);
    return it == medians_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> medians_;
  std::map<std::string, double> cpuMedians_;
};

}  // namespace plumet_bench
