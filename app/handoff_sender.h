#pragma once
// A later start's side of the hand-off: find the resident instance's window (looking again for a
// few seconds while a resident is still starting up), then, holding the block's lock so that
// rapid starts go one at a time, write the text, signal the event and wait until the listener has
// taken it. The resident may vanish meanwhile: when its mutex becomes free the caller is told to
// become the resident instance itself, so the click is not lost. A text longer than one block
// crosses as several (handoff_block.h); one beyond kHandoffMaxTextUnits is refused (kNotTaken).

#include <chrono>
#include <string>

#include "platform/named_mutex.h"

namespace plumet {

enum class HandoffResult {
  kDelivered,       // the listener took the text (or the text was empty and was signalled)
  kBecomeResident,  // nobody holds the mutex any more: `mutex` is now ours
  kNoResident,      // no live window appeared in time; the text was not handed over
  kNotTaken,        // the text was written and signalled but not taken in time
  kNoListener,      // the window exists but nobody listens on the event
};

struct HandoffTimeouts {
  std::chrono::milliseconds findWindow{5000};
  std::chrono::milliseconds lockBlock{5000};
  std::chrono::milliseconds taken{3000};
};

HandoffResult HandOffToResident(const std::string& folder, const std::u16string& text,
                                platform::NamedMutex& mutex, const HandoffTimeouts& timeouts = {});

}  // namespace plumet
