#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "platform/thread_priority.h"

namespace platform {

bool LowerThreadPriority(int nice) {
  // On Linux the niceness belongs to each thread; PRIO_PROCESS with a thread id sets only that one.
  const id_t self = static_cast<id_t>(::gettid());
  errno = 0;
  const int now = ::getpriority(PRIO_PROCESS, self);
  if (errno != 0) return false;
  if (now >= nice) return true;
  return ::setpriority(PRIO_PROCESS, self, nice) == 0;
}

}  // namespace platform
