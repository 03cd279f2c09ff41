#pragma once
// Runs SpaceKeeper::PurgeRound in the background of a serving process: at the lowest scheduling
// priority, a bounded number of rows per round with a pause between rounds, so that a large
// backlog never holds the database for long, and a rest once nothing is due. Stops promptly.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "service/store/space_keeper.h"

namespace zelmic {

struct PurgeSchedule {
  int64_t keep_seconds = int64_t{30} * 86400;  // how long deleted and replaced content stays
  int rows_per_round = 200;                    // rows one round may remove
  std::chrono::milliseconds pause{200};        // between rounds while more is due
  std::chrono::milliseconds rest{600000};      // once nothing is due
};

class PurgeTimer {
 public:
  explicit PurgeTimer(const SpaceKeeper& keeper) : keeper_(keeper) {}
  ~PurgeTimer() { Stop(); }
  PurgeTimer(const PurgeTimer&) = delete;
  PurgeTimer& operator=(const PurgeTimer&) = delete;

  void Start(const PurgeSchedule& schedule);
  void Stop();

 private:
  void Run(PurgeSchedule schedule);
  // Waits for `d` or Stop; false when stopping.
  bool Wait(std::chrono::milliseconds d);

  const SpaceKeeper& keeper_;
  std::mutex mutex_;
  std::condition_variable stop_changed_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace zelmic
