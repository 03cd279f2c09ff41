#include "app/handoff_sender.h"

#include <thread>

#include "app/handoff_block.h"
#include "platform/named_event.h"
#include "platform/shared_block.h"
#include "platform/window_registry.h"

namespace plumet {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

HandoffResult HandOffToResident(const std::string& folder, const std::u16string& text,
                                platform::NamedMutex& mutex, const HandoffTimeouts& timeouts) {
  const auto find_deadline = Clock::now() + timeouts.findWindow;
  while (platform::FindWindow(folder, kWindowTitle) == 0) {
    if (mutex.TryAcquire(folder, kMutexName)) return HandoffResult::kBecomeResident;
    if (Clock::now() >= find_deadline) return HandoffResult::kNoResident;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  platform::SharedBlock block;
  if (!block.Open(folder, kMapName, kHandoffBlockSize)) {
    // The event still tells the resident that something came; it then finds nothing to take.
    return platform::NamedEvent::Signal(folder, kEventName) ? HandoffResult::kNotTaken
                                                            : HandoffResult::kNoListener;
  }
  if (!block.Lock(timeouts.lockBlock)) return HandoffResult::kNotTaken;
  // Also orders our writes after the listener's clearing of the previous text.
  HandoffTaken(block.data());
  PublishHandoff(text, block.data());
  HandoffResult result = HandoffResult::kDelivered;
  if (!platform::NamedEvent::Signal(folder, kEventName)) {
    result = HandoffResult::kNoListener;
  } else if (!text.empty()) {
    const auto taken_deadline = Clock::now() + timeouts.taken;
    while (!HandoffTaken(block.data())) {
      if (Clock::now() >= taken_deadline) {
        result = HandoffResult::kNotTaken;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  block.Unlock();
  return result;
}

}  // namespace plumet
