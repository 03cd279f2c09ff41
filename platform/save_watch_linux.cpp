#include <sys/inotify.h>
#include <unistd.h>

#include "platform/io_retry.h"
#include "platform/save_watch.h"

namespace platform {

namespace {

constexpr uint32_t kSaveEvents = IN_CLOSE_WRITE | IN_MOVED_TO;

}  // namespace

SaveWatch::SaveWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

SaveWatch::~SaveWatch() {
  if (fd_ >= 0) ::close(fd_);
}

void SaveWatch::Watch(const std::set<std::string>& folders) {
  if (fd_ < 0) return;
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (folders.count(it->first) != 0) {
      ++it;
      continue;
    }
    ::inotify_rm_watch(fd_, it->second);
    it = watches_.erase(it);
  }
  for (const std::string& folder : folders) {
    if (watches_.count(folder) != 0) continue;
    const int wd = ::inotify_add_watch(fd_, folder.c_str(), kSaveEvents | IN_ONLYDIR);
    if (wd >= 0) watches_[folder] = wd;
  }
}

bool SaveWatch::Drain() {
  if (fd_ < 0) return false;
  bool saved = false;
  alignas(inotify_event) char buffer[8192];
  // Bounded: the queue is read until it is empty, at most a few hundred events a call.
  for (int round = 0; round < 64; ++round) {
    const ssize_t n = RetryOnEintr([&] { return ::read(fd_, buffer, sizeof buffer); });
    if (n <= 0) break;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if ((event->mask & (kSaveEvents | IN_Q_OVERFLOW)) != 0) saved = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return saved;
}

}  // namespace platform
