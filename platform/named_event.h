#pragma once
// The named hand-off event: a FIFO in the instance folder. The owner (the resident instance) keeps
// it open for reading and waits on it with poll; any process of the user signals it by writing a
// byte. Signals that arrive before the owner wakes coalesce, like an auto-reset event. A signal
// with nobody listening fails at once instead of blocking (the FIFO has no reader).

#include <string>

#include "platform/local_event.h"

namespace platform {

class NamedEvent {
 public:
  NamedEvent() = default;
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Creates (or takes over) the event `name` in `folder` and opens it for waiting. A stale
  // non-FIFO entry of that name is replaced.
  bool Create(const std::string& folder, const std::string& name);
  void Close();

  enum class WaitResult { kStopped, kSignalled, kError };
  // Waits until the event is signalled (consuming every pending signal) or `stop` is set (left
  // set). Prefers kStopped when both are ready. Never returns early otherwise.
  WaitResult Wait(const LocalEvent& stop);

  // Signals the event `name` in `folder`; false when it does not exist or has no listener.
  static bool Signal(const std::string& folder, const std::string& name);

 private:
  int fd_ = -1;
};

}  // namespace platform
