#pragma once
// One upload of a file that lives anywhere on disk, outside an edit session (a script, a command
// line): the same engine as a session's upload — SHA-1, registration with the service through
// dorvic, the whole content or the block delta, resumption at the server's offset after a broken
// part — run to its end on a worker thread while the caller waits.
//
// The delta's literal file is written beside the local file while the upload runs and removed
// when it ends; where no file can be created there, the content goes whole. The caller configures
// dorvic and calls curl_global_init first.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace plumet {

struct FileUploadRequest {
  std::wstring accessToken;
  std::wstring remotePath;
  int32_t mount = 0;
  std::wstring localPath;  // absolute: the literal file goes into its folder
  // Asked while the upload runs; true stops it (the task's files are removed, the stored version
  // stays as it was).
  std::function<bool()> cancelled;
};

struct FileUploadResult {
  bool ok = false;
  bool cancelled = false;
  bool registered = false;     // dorvic_add_file succeeded; if not, dorvic's last error says why
  bool alreadyStored = false;  // the service held this content: nothing was sent
  bool delta = false;          // the content went as a block delta
  int32_t version = 0;         // the version the registration named
  int32_t status = 0;          // the upload server's last result code
  uint64_t fileSize = 0;
  std::string fileHash;    // SHA-1, 40 lowercase hexadecimal characters
  uint64_t bytesSent = 0;  // request body bytes (parts and match list)
  std::string refusal;     // why a request was not sent (common/credential_guard.h), or ""
};

// Called on the caller's thread every `interval` while the content is being sent: bytes sent of
// the content's total (the literal file's during a delta upload).
using UploadProgress = std::function<void(uint64_t done, uint64_t total)>;

FileUploadResult UploadLocalFile(
    const FileUploadRequest& request, const UploadProgress& progress,
    std::chrono::milliseconds interval = std::chrono::milliseconds(100));

}  // namespace plumet
