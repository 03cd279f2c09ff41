#pragma once
// The conversation of one upload task with the upload server: "/upload_init", "/upload_req", for a
// delta "/download_checksum" and "/upload_checksum_result", the parts through "/upload_part", and
// "/upload_finish", with the retry rules that join them. Runs on the task's worker thread.

#include <cstddef>
#include <cstdint>
#include <string>

namespace plumet {

class CUploadTask;

enum class UploadOutcome { kCompleted, kFailed, kStopped };

// The whole protocol. Expects uploadHash and fileSize in the task, uploadServerUrl set and
// localFile open. A 205 to "/download_checksum" or "/upload_checksum_result" is no failure: the
// delta is dropped (deltaRefused set) and the whole content goes in the same upload session.
UploadOutcome RunUploadProtocol(CUploadTask& task);

// The six requests. Each leaves its result code in task.status.
bool UploadInit(CUploadTask& task);
bool UploadReq(CUploadTask& task);
bool DownloadChecksum(CUploadTask& task);
bool UploadChecksumResult(CUploadTask& task);
bool UploadPart(CUploadTask& task, uint64_t length);
bool UploadFinish(CUploadTask& task);

// uploadServerUrl followed by `path`, as UTF-8.
std::string BuildUploadUrl(const CUploadTask& task, const wchar_t* path);

// Keeps ASCII letters and digits; every other byte becomes "%XX" (uppercase hex).
std::string PercentEncode(const std::string& bytes);

// Part size for a file of `fileSize` bytes: 32 KiB below 1 GiB, 64 KiB below 32 GiB, 512 KiB
// below 1 TiB, 1 MiB above.
uint64_t PartSizeFor(uint64_t fileSize);

// Length of the content being sent: the literal file during a delta upload, else the local file.
uint64_t UploadTotal(const CUploadTask& task);

// libcurl read callbacks of "/upload_part" and "/upload_checksum_result"; `userdata` is the task.
size_t ReadPartData(char* buffer, size_t size, size_t count, void* userdata);
size_t ReadMatchList(char* buffer, size_t size, size_t count, void* userdata);

}  // namespace plumet
