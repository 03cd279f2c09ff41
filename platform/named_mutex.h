#pragma once
// The named mutex that marks the resident instance: an exclusive flock on a file in the instance
// folder. The kernel drops the lock with the last descriptor of the process that holds it, so a
// crashed or killed resident never blocks the next start. The descriptor is close-on-exec: an
// editor we start must not inherit our claim.

#include <string>

namespace platform {

class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Tries, without waiting, to own the mutex `name` in `folder`. True when this process owns it
  // now (also when it already did); false when another process holds it or the file cannot be
  // opened. May be called again to retry.
  bool TryAcquire(const std::string& folder, const std::string& name);

  void Release();
  bool owned() const { return owned_; }

 private:
  int fd_ = -1;
  bool owned_ = false;
};

}  // namespace platform
