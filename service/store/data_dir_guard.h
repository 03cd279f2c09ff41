#pragma once
// Keeps a data dir out of other local accounts' reach. The database holds the download-link
// secret and the password digests, and the blobs are the users' files, so DIR and everything in
// it belong to the service's account alone: folders 0700, files 0600. An older zelmicd left them
// readable by everyone; serving such a dir tightens it first.
//
// A dir that another account could write to, or swap for one of its own through a writable
// parent, is refused rather than repaired: what is in it may already be someone else's.

#include <string>

#include "service/store/status.h"

namespace zelmic {

// Fails with a one-line reason when DIR (followed if it is a link) is not owned by this account,
// is writable by its group or others, or lies in a folder that others may write to without the
// sticky bit (as /tmp has).
Status CheckDataDirOwnership(const std::string& dir);

// Sets DIR and every folder beneath it to 0700 and every regular file to 0600. Symbolic links are
// neither followed nor changed; folders deeper than any the store makes are left as they are
// (their 0700 ancestors already keep them private).
Status TightenDataDir(const std::string& dir);

// `zelmicd init`: checks an existing DIR as above, makes it into a data dir and leaves it 0700
// even when it existed (empty) with a wider mode.
Status InitPrivateDataDir(const std::string& dir);

// The one serving process of a data dir: an exclusive lock on DIR/serve.lock, which holds the
// pid of its owner. Held until the object goes (in practice, the process's life).
class ServeLock {
 public:
  ServeLock() = default;
  ~ServeLock();
  ServeLock(const ServeLock&) = delete;
  ServeLock& operator=(const ServeLock&) = delete;

  // Fails, naming the other process when it can, when another process serves DIR.
  Status Acquire(const std::string& dir);

 private:
  int fd_ = -1;
};

}  // namespace zelmic
