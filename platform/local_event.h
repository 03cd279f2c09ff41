#pragma once
// An in-process event with a descriptor (eventfd): Set may be called from any thread and from a
// signal handler (it is one write); the descriptor becomes readable until Reset. Used as the stop
// signal of a thread that waits with poll, and to carry SIGTERM/SIGINT into an event loop.

namespace platform {

class LocalEvent {
 public:
  LocalEvent();  // unsignalled; fd() is -1 when the kernel refused the eventfd
  ~LocalEvent();
  LocalEvent(const LocalEvent&) = delete;
  LocalEvent& operator=(const LocalEvent&) = delete;

  void Set();    // async-signal-safe
  void Reset();  // consumes the signal
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace platform
