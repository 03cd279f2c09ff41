#pragma once
// Tells at once that a file in a watched folder was saved: closed after being written, or renamed
// into the folder (editors that write a new file and rename it over the old one). The resident
// program then looks at its copies without waiting for its next one-second beat. Built on inotify;
// where that is not available fd() is -1 and the beat alone does the work.

#include <map>
#include <set>
#include <string>

namespace platform {

class SaveWatch {
 public:
  SaveWatch();
  ~SaveWatch();
  SaveWatch(const SaveWatch&) = delete;
  SaveWatch& operator=(const SaveWatch&) = delete;

  // Readable when events wait; hand it to the event loop. -1 without inotify.
  int fd() const { return fd_; }

  // Watches exactly these folders from now on (a folder that cannot be watched is skipped).
  void Watch(const std::set<std::string>& folders);

  // Reads every waiting event without blocking. True when one of them was a save.
  bool Drain();

 private:
  int fd_ = -1;
  std::map<std::string, int> watches_;
};

}  // namespace platform
