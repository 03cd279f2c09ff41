#include "app/handoff_sender.h"

#include <cstdio>
#include <thread>
#include <vector>

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

  const std::vector<std::u16string> parts = SplitHandoff(text);
  if (parts.empty()) {
    // Never a cut link: a part of one would be another request, or none.
    std::fprintf(stderr, "plumet: a link of more than %zu characters is not handed over\n",
                 kHandoffMaxTextUnits);
    return HandoffResult::kNotTaken;
  }

  platform::SharedBlock block;
  if (!block.Open(folder, kMapName, kHandoffBlockSize)) {
    // The event still tells the resident that something came; it then finds nothing to take.
    return platform::NamedEvent::Signal(folder, kEventName) ? HandoffResult::kNotTaken
                                                            : HandoffResult::kNoListener;
  }
  if (!block.Lock(timeouts.lockBlock)) return HandoffResult::kNotTaken;
  // The lock is held over all parts of a long text, so no other start's text comes between them.
  HandoffResult result = HandoffResult::kDelivered;
  for (const std::u16string& part : parts) {
    // Also orders our writes after the listener's clearing of the previous text.
    HandoffTaken(block.data());
    PublishHandoff(part, block.data());
    if (!platform::NamedEvent::Signal(folder, kEventName)) {
      result = HandoffResult::kNoListener;
      break;
    }
    if (part.empty()) break;
    const auto taken_deadline = Clock::now() + timeouts.taken;
    while (!HandoffTaken(block.data())) {
      if (Clock::now() >= taken_deadline) {
        result = HandoffResult::kNotTaken;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (result != HandoffResult::kDelivered) break;
  }
  block.Unlock();
  return result;
}

}  // namespace plumet
