#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_snapshot.h"
#include "platform/io_retry.h"

namespace platform {

namespace {

bool CopyAll(int from, int to, uint64_t size) {
  uint64_t done = 0;
  while (done < size) {
    const ssize_t n =
        RetryOnEintr([&] { return ::copy_file_range(from, nullptr, to, nullptr, size - done, 0); });
    if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL))
      break;                    // the plain loop below
    if (n <= 0) return n == 0;  // the file got shorter: what was there is the snapshot
    done += static_cast<uint64_t>(n);
  }
  if (done >= size) return true;
  char buffer[1 << 16];
  for (;;) {
    const int64_t n = PreadFull(from, buffer, sizeof buffer, done);
    if (n < 0) return false;
    if (n > 0 && !PwriteFull(to, buffer, static_cast<size_t>(n), done)) return false;
    if (static_cast<size_t>(n) < sizeof buffer) return true;
    done += static_cast<uint64_t>(n);
  }
}

}  // namespace

bool SnapshotFile(const std::string& source, const std::string& target, int64_t& modifiedNs) {
  const int from = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (from < 0) return false;
  struct stat st;
  if (::fstat(from, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(from);
    return false;
  }
  modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  ::unlink(target.c_str());
  const int to = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (to < 0) {
    ::close(from);
    return false;
  }
  bool ok = ::ioctl(to, FICLONE, from) == 0;
  if (!ok) ok = CopyAll(from, to, static_cast<uint64_t>(st.st_size));
  ok = ::close(to) == 0 && ok;
  // A save written in place while the copy ran would leave a mix of both versions: refuse it, the
  // caller takes the snapshot again once the file is quiet.
  struct stat after;
  ok = ok && ::fstat(from, &after) == 0 && after.st_size == st.st_size &&
       after.st_mtim.tv_sec == st.st_mtim.tv_sec && after.st_mtim.tv_nsec == st.st_mtim.tv_nsec;
  ::close(from);
  if (!ok) ::unlink(target.c_str());
  return ok;
}

}  // namespace platform
