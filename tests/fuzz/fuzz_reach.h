#pragma once
// How many inputs of a run reached the deep paths a target exists for (a match found, a delta
// rebuilt, a form read past the session check), not only how many ran. Each counter prints one
// line when the run ends:
//   reach: <target> <what>=<count>
// scripts/fuzz reports these lines beside the execution count. A target counts with
//   static fuzz_reach::Counter matches("matches");  ...  matches.Hit();

#include <errno.h>  // program_invocation_short_name

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzz_reach {

class Counter {
 public:
  explicit Counter(const char* what) : what_(what) {
    // Registered at most kSlots times per process; further counters are not reported.
    const int slot = used_.fetch_add(1);
    if (slot < kSlots) {
      slots_[slot] = this;
      if (slot == 0) std::atexit(&Counter::PrintAll);
    }
  }
  void Hit() { count_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t count() const { return count_.load(); }

 private:
  static constexpr int kSlots = 16;
  static void PrintAll() {
    const int used = used_.load() < kSlots ? used_.load() : kSlots;
    for (int i = 0; i < used; ++i) {
      std::fprintf(stderr, "reach: %s %s=%llu\n", program_invocation_short_name, slots_[i]->what_,
                   static_cast<unsigned long long>(slots_[i]->count()));
    }
  }
  const char* what_;
  std::atomic<uint64_t> count_{0};
  static inline std::atomic<int> used_{0};
  static inline Counter* slots_[kSlots] = {};
};

}  // namespace fuzz_reach
