#include "service/store/data_dir_guard.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "service/store/database.h"

namespace zelmic {

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;
// The store nests at most DIR/blobs/ab/<sha1>; anything far deeper was not made by it.
constexpr int kMaxDepth = 8;

std::string Octal(mode_t mode) {
  char text[8];
  snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

// Sets the mode of the entry `name` of the open folder `parent` unless it has it already;
// never through a symbolic link (the caller saw a folder or a regular file there).
Status SetMode(int parent, const char* name, const struct stat& st, mode_t mode,
               const std::string& path) {
  if ((st.st_mode & 07777) == mode) return Status::OK();
  if (fchmodat(parent, name, mode, AT_SYMLINK_NOFOLLOW) != 0)
    return Status::Error(Reason("cannot make private", path));
  return Status::OK();
}

// Tightens what lies in the open folder `folder` (already 0700 itself); closes it.
Status TightenEntries(int folder, const std::string& path, int depth) {
  DIR* listing = fdopendir(folder);
  if (listing == nullptr) {
    close(folder);
    return Status::Error(Reason("cannot list", path));
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  Status result;
  if (errno != 0) result = Status::Error(Reason("cannot list", path));
  const int fd = dirfd(listing);
  for (size_t i = 0; i < names.size() && result.ok(); ++i) {
    const std::string child = path + "/" + names[i];
    struct stat st {};
    if (fstatat(fd, names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed meanwhile (a staged upload finished)
      result = Status::Error(Reason("cannot inspect", child));
    } else if (S_ISREG(st.st_mode)) {
      result = SetMode(fd, names[i].c_str(), st, kFileMode, child);
    } else if (S_ISDIR(st.st_mode)) {
      result = SetMode(fd, names[i].c_str(), st, kFolderMode, child);
      if (!result.ok() || depth + 1 >= kMaxDepth) continue;
      const int sub = openat(fd, names[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        result = Status::Error(Reason("cannot open", child));
        continue;
      }
      result = TightenEntries(sub, child, depth + 1);
    }
    // Symbolic links, sockets and the like are left alone: nothing of the store is one.
  }
  closedir(listing);
  return result;
}

}  // namespace

Status CheckDataDirOwnership(const std::string& dir) {
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) == nullptr)
    return Status::Error(Reason("cannot open the data folder", dir));
  struct stat st {};
  if (stat(resolved, &st) != 0) return Status::Error(Reason("cannot inspect", dir));
  if (!S_ISDIR(st.st_mode)) return Status::Error(dir + " is not a folder");
  if (st.st_uid != geteuid()) {
    return Status::Error(dir + " belongs to another account (uid " + std::to_string(st.st_uid) +
                         "), not to this one (uid " + std::to_string(geteuid()) + ")");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return Status::Error(dir + " can be written by other accounts (mode " + Octal(st.st_mode) +
                         "); make it private with chmod 700 " + dir);
  }
  std::string parent = resolved;
  const size_t slash = parent.find_last_of('/');
  parent = slash == 0 || slash == std::string::npos ? "/" : parent.substr(0, slash);
  struct stat above {};
  if (stat(parent.c_str(), &above) != 0) return Status::Error(Reason("cannot inspect", parent));
  if ((above.st_mode & S_IWOTH) != 0 && (above.st_mode & S_ISVTX) == 0) {
    return Status::Error(dir + " lies in " + parent + ", which other accounts can write to (mode " +
                         Octal(above.st_mode) + ", no sticky bit), so they could swap it");
  }
  return Status::OK();
}

Status TightenDataDir(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status::Error(Reason("cannot open", dir));
  struct stat st {};
  if (fstat(fd, &st) != 0 ||
      ((st.st_mode & 07777) != kFolderMode && fchmod(fd, kFolderMode) != 0)) {
    Status failed = Status::Error(Reason("cannot make private", dir));
    close(fd);
    return failed;
  }
  return TightenEntries(fd, dir, 0);
}

Status InitPrivateDataDir(const std::string& dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) {
    if (Status unsafe = CheckDataDirOwnership(dir); !unsafe.ok()) return unsafe;
  }
  if (Status made = Database::Create(dir); !made.ok()) return made;
  return TightenDataDir(dir);
}

ServeLock::~ServeLock() {
  if (fd_ >= 0) close(fd_);
}

Status ServeLock::Acquire(const std::string& dir) {
  const std::string path = dir + "/serve.lock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kFileMode);
  if (fd < 0) return Status::Error(Reason("cannot open", path));
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    char text[32] = {};
    const ssize_t got = err == EWOULDBLOCK ? pread(fd, text, sizeof text - 1, 0) : -1;
    close(fd);
    if (err != EWOULDBLOCK) {
      errno = err;
      return Status::Error(Reason("cannot lock", path));
    }
    // The owner writes its pid just after it locks; a start that lands in between names none.
    std::string pid(text, got > 0 ? static_cast<size_t>(got) : 0);
    pid = pid.substr(0, pid.find_first_not_of("0123456789"));
    return Status::Error(dir + " is already being served by another zelmicd" +
                         (pid.empty() ? std::string() : " (pid " + pid + ")"));
  }
  const std::string mine = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 ||
      pwrite(fd, mine.data(), mine.size(), 0) != static_cast<ssize_t>(mine.size())) {
    Status failed = Status::Error(Reason("cannot write", path));
    close(fd);
    return failed;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return Status::OK();
}

}  // namespace zelmic
