#pragma once
// What every background transfer of the resident program has in common, so that its owner can hold
// a download or an upload alike and a watcher on another thread (the tray's tooltip, a progress
// line) can read how far it is. Destroying one stops its thread and waits for it.

#include <atomic>
#include <cstdint>

namespace plumet {

class TransferTask {
 public:
  TransferTask() = default;
  TransferTask(const TransferTask&) = delete;
  TransferTask& operator=(const TransferTask&) = delete;
  virtual ~TransferTask() = default;

  // Asks the thread to stop without waiting for it (an exit that must end in time). The owner
  // then either destroys the task once threadDone holds, or leaves it to the end of the process.
  virtual void RequestStop() {}

  // Bytes of the transfer done, of how many (0 while unknown).
  std::atomic<uint64_t> progressDone{0};
  std::atomic<uint64_t> progressTotal{0};
  // Set by the thread when nothing it does any more can hold up the task's destruction.
  std::atomic<bool> threadDone{false};
};

}  // namespace plumet
