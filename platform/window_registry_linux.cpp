#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/io_retry.h"
#include "platform/window_registry.h"

namespace platform {
namespace {

std::string EntryPath(const std::string& folder, const std::string& title) {
  return folder + "/" + title + ".window";
}

// Start time of `pid` in clock ticks since boot (field 22 of /proc/PID/stat), or empty when the
// process does not exist or is a zombie.
std::string StartTime(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return {};
  // The command name (field 2) may hold blanks and parentheses: fields are counted after its last
  // ')'.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22; ++i) {
    if (!(fields >> field)) return {};
    if (i == 3 && (field == "Z" || field == "X")) return {};
  }
  return field;
}

}  // namespace

bool PublishWindow(const std::string& folder, const std::string& title) {
  const pid_t pid = getpid();
  const std::string text = std::to_string(pid) + " " + StartTime(pid) + "\n";
  const std::string path = EntryPath(folder, title);
  const std::string temp = path + "." + std::to_string(pid) + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const bool written = WriteFull(fd, text.data(), text.size());
  close(fd);
  if (!written || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

void WithdrawWindow(const std::string& folder, const std::string& title) {
  const std::string path = EntryPath(folder, title);
  std::ifstream in(path);
  long pid = 0;
  if (in >> pid && pid == getpid()) unlink(path.c_str());
}

pid_t FindWindow(const std::string& folder, const std::string& title) {
  std::ifstream in(EntryPath(folder, title));
  long pid = 0;
  std::string started;
  if (!(in >> pid >> started) || pid <= 0) return 0;
  const std::string now = StartTime(static_cast<pid_t>(pid));
  return (!now.empty() && now == started) ? static_cast<pid_t>(pid) : 0;
}

}  // namespace platform
