#include "service/store/purge_timer.h"

#include <pthread.h>
#include <sched.h>

#include <ctime>

namespace zelmic {

void PurgeTimer::Start(const PurgeSchedule& schedule) {
  Stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this, schedule] { Run(schedule); });
}

void PurgeTimer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool PurgeTimer::Wait(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stop_changed_.wait_for(lock, d, [this] { return stopping_; });
}

void PurgeTimer::Run(PurgeSchedule schedule) {
  // Whatever else wants the processor comes first; purging can always wait.
  sched_param idle{};
  pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle);
  while (Wait(schedule.pause)) {
    // "<= now - keep": with nothing kept, what was deleted this second goes too.
    const int64_t cutoff = static_cast<int64_t>(time(nullptr)) - schedule.keep_seconds + 1;
    int purged = 0;
    const Status done = keeper_.PurgeRound(cutoff, schedule.rows_per_round, purged);
    if (!done.ok() || purged < schedule.rows_per_round) {
      if (!Wait(schedule.rest)) return;
    }
  }
}

}  // namespace zelmic
