#include "session/session_files.h"

#include "platform/file_ops.h"

namespace plumet {

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

std::string DownloadPart(const EditSession& s) { return s.workDir + "download"; }

std::string Snapshot(const EditSession& s) { return s.workDir + "upload"; }

void RemoveWorkDir(const EditSession& s) {
  if (s.workDir.empty()) return;
  platform::RemoveFile(DownloadPart(s));
  platform::RemoveFile(Snapshot(s));
  platform::RemoveEmptyFolder(s.workDir);
}

void RemoveEmptyFolders(const std::string& tempDir, std::string dir) {
  while (dir.size() > tempDir.size() && dir.compare(0, tempDir.size(), tempDir) == 0) {
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
    if (!platform::RemoveEmptyFolder(dir)) return;
    dir = FolderOf(dir);
  }
}

std::string AsideName(const std::string& path, int n) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const std::string suffix = ".unsent-" + std::to_string(n);
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash + 2))
    return path + suffix;
  return path.substr(0, dot) + suffix + path.substr(dot);
}

}  // namespace plumet
