#pragma once
// The one private scratch folder of the tests, benchmarks and fuzz targets: made with mkdtemp
// under $TMPDIR (when it names an absolute folder, else /tmp), so that parallel runs never share
// files, and removed with everything in it when the owner goes.

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace plumet_test {

// $TMPDIR when it is an absolute path, else /tmp.
inline std::string TempBase() {
  const char* base = std::getenv("TMPDIR");
  return base != nullptr && *base == '/' ? base : "/tmp";
}

// A new folder "<base>/<prefix>-XXXXXX" readable by us alone; empty when it could not be made.
// For owners that keep the folder past any one object (a fuzz target's store, a fixture that
// removes it itself).
inline std::string MakeScratchFolder(const std::string& prefix,
                                     const std::string& base = TempBase()) {
  std::string pattern = base + "/" + prefix + "-XXXXXX";
  return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix = "plumet-test",
                      const std::string& base = TempBase())
      : path_(MakeScratchFolder(prefix, base)) {}
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // The path of `name` inside the folder.
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string operator/(const std::string& name) const { return File(name); }

 private:
  std::string path_;
};

}  // namespace plumet_test
