#pragma once
// A file that appears under its name only once it is complete: the content goes to a hidden
// temporary file beside the target, which Commit renames over the target. Until then, and after
// any failure, the target is untouched and no temporary file is left behind.
//
//   platform::AtomicFile out;
//   if (!out.Begin("/home/ann/plan.txt")) ...;
//   out.Write(data, size) ...;
//   if (!out.Commit()) ...;   // otherwise the destructor removes the temporary file

#include <cstddef>
#include <string>

namespace platform {

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();  // Abandons an uncommitted file.
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file beside `target`. False (errno tells why) when it cannot.
  bool Begin(const std::string& target);
  // Appends all `size` bytes or fails.
  bool Write(const void* data, size_t size);
  // Flushes the content to the device and renames it over the target, with the permissions a new
  // file gets under the process's umask, or `mode` when given (0600 for what only the user may
  // read). False (and abandoned) on failure.
  bool Commit(int mode = -1);
  // Closes and removes the temporary file.
  void Abandon();

  const std::string& temp_path() const { return temp_; }

 private:
  int fd_ = -1;
  std::string target_;
  std::string temp_;
};

// Whether this process may create files in `dir` (a temporary file beside one it reads).
bool CanCreateFilesIn(const std::string& dir);

}  // namespace platform
