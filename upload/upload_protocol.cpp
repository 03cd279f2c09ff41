#include "upload/upload_protocol.h"

#include <curl/curl.h>

#include <algorithm>
#include <cinttypes>
#include <optional>
#include <string>
#include <vector>

#include "common/credential_guard.h"
#include "common/result_codes.h"
#include "common/text_forms.h"
#include "platform/file_ops.h"
#include "upload/digests.h"
#include "upload/upload_http.h"
#include "upload/upload_task.h"

namespace plumet {

namespace {

// Attempts of one step before the upload fails: the first try and five more.
constexpr int kMaxRetries = 5;
// Consecutive failed parts (finish attempts included) that end the upload.
constexpr int kMaxPartFailures = 5;

constexpr int32_t kStatusAccepted = 202;  // the server already holds everything
constexpr int32_t kStatusRefused = 205;   // the server refuses the delta
constexpr int32_t kStatusUnauthorized = 401;
constexpr int32_t kStatusConflict = 409;
constexpr int32_t kStatusServerError = 500;
constexpr int32_t kErrorExpectOffset = 40900;  // 409 naming where the server expects the content

// How a request carries its body.
struct RequestBody {
  curl_read_callback read = nullptr;  // null: a POST with an empty body
  uint64_t length = 0;
};

// One request: common set-up, own body and header lines, transfer, common answer rule.
bool Exchange(CUploadTask& task, const wchar_t* path, bool timeLimited, const HeaderLines& lines,
              const RequestBody& body, std::string& answer) {
  answer.clear();
  if (!lines.ok()) {
    // A header line that did not fit its buffer: the request is not sent in a cut form.
    task.status = kStatusNoAnswer;
    return false;
  }
  const std::string url = BuildUploadUrl(task, path);
  // Every request carries the token or the upload session, and the parts the user's content.
  task.refusal = plumet_transport::CredentialRefusal(url, task.transport);
  if (!task.refusal.empty()) {
    task.status = plumet_codes::kTransportFailure;
    return false;
  }
  std::string headerText;
  PrepareUploadRequest(task, url, timeLimited, headerText, answer);
  CURL* curl = task.curl;
  if (body.read == nullptr) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, 0L);
  } else {
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body.length));
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, body.read);
    curl_easy_setopt(curl, CURLOPT_READDATA, &task);
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, lines.list());
  const CURLcode result = curl_easy_perform(curl);
  // The list dies with `lines`; the handle must not keep pointing at it.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
  return EvaluateAnswer(task, result, headerText);
}

// The file the content is read from: the literal file while the delta is in use.
platform::File& SourceFile(CUploadTask& task) {
  return task.blockSize != 0 ? task.literalFile : task.localFile;
}

// The last path component of the remote path, as it travels in "x-zm-upload-filename".
std::string EncodedFileName(const std::wstring& remotePath) {
  const size_t slash = remotePath.rfind(L'/');
  const std::wstring name = slash == std::wstring::npos ? remotePath : remotePath.substr(slash + 1);
  return PercentEncode(ToUtf8(name));
}

void SetLastByte(CUploadTask& task) {
  const uint64_t total = UploadTotal(task);
  task.lastByte = total > 0 ? total - 1 : 0;
  task.progressTotal.store(total);
}

// Reads [start, start + length) of the source file into the task's part buffer and returns the
// CRC-32 of the bytes that exist (a file that ended early yields fewer).
uint32_t ReadPart(CUploadTask& task, uint64_t start, uint64_t length) {
  std::vector<char>& data = task.partData;
  data.resize(static_cast<size_t>(length));
  task.partDataStart = start;
  task.partDataEnd = start + length;
  size_t filled = 0;
  platform::File& source = SourceFile(task);
  if (source.Seek(start)) {
    while (filled < data.size()) {
      const int64_t n = source.Read(data.data() + filled, data.size() - filled);
      if (n <= 0) break;
      filled += static_cast<size_t>(n);
    }
  }
  data.resize(filled);
  return Crc32Buffer(data.data(), static_cast<int32_t>(filled));
}

bool FileExists(const std::string& path) { return !path.empty() && platform::PathExists(path); }

// The server will not build on its stored version: this upload (and every later one of the same
// job's owner, through the report) sends the whole content, in the same upload session. The
// server refuses before it takes a match list, so the session still expects the whole content.
void DropDelta(CUploadTask& task) {
  task.deltaRefused = true;
  task.blockSize = 0;
  task.delta.StopAhead();
  task.CleanupLiteralFile();
}

enum class Checksums { kLoaded, kRefused, kFailed };

// Steps of RunUploadProtocol; `n` is the shared counter.
Checksums FetchChecksums(CUploadTask& task, int& n) {
  while (!DownloadChecksum(task)) {
    if (task.status == kStatusRefused) {
      DropDelta(task);
      return Checksums::kRefused;
    }
    if (task.status == kStatusServerError) return Checksums::kFailed;
    if (++n > kMaxRetries) return Checksums::kFailed;
  }
  return Checksums::kLoaded;
}

bool PrepareDeltaWithRetries(CUploadTask& task, int& n) {
  while (!task.PrepareDelta()) {
    if (++n > kMaxRetries) return false;
  }
  return true;
}

}  // namespace

std::string BuildUploadUrl(const CUploadTask& task, const wchar_t* path) {
  return ToUtf8(task.uploadServerUrl + path);
}

std::string PercentEncode(const std::string& bytes) { return plumet_text::PercentEncode(bytes); }

uint64_t PartSizeFor(uint64_t fileSize) {
  if (fileSize < (uint64_t{1} << 30)) return 32768;
  if (fileSize < (uint64_t{1} << 35)) return 65536;
  if (fileSize < (uint64_t{1} << 40)) return 524288;
  return 1048576;
}

uint64_t UploadTotal(const CUploadTask& task) {
  if (task.blockSize != 0) {
    if (!task.literalFile.IsOpen()) return 0;
    return static_cast<uint64_t>(std::max<int64_t>(task.literalFile.Length(), 0));
  }
  if (!task.localFile.IsOpen()) return task.fileSize;
  return static_cast<uint64_t>(std::max<int64_t>(task.localFile.Length(), 0));
}

size_t ReadPartData(char* buffer, size_t size, size_t count, void* userdata) {
  CUploadTask& task = *static_cast<CUploadTask*>(userdata);
  if (task.stopRequested.load()) return CURL_READFUNC_ABORT;
  uint64_t wanted = static_cast<uint64_t>(size) * count;
  const uint64_t partSize = PartSizeFor(task.fileSize);
  const uint64_t sentOfPart = task.position - task.partStart;
  wanted = std::min(wanted, partSize > sentOfPart ? partSize - sentOfPart : 0);
  wanted = std::min(wanted, task.position <= task.lastByte ? task.lastByte - task.position + 1 : 0);
  if (wanted == 0) return 0;

  uint64_t got = 0;
  const uint64_t bufferEnd = task.partDataStart + task.partData.size();
  if (task.position >= task.partDataStart && task.position < bufferEnd) {
    // The bytes the part's CRC was computed from.
    got = std::min(wanted, bufferEnd - task.position);
    std::copy_n(task.partData.data() + (task.position - task.partDataStart), got, buffer);
  } else if (task.position < bufferEnd || task.position >= task.partDataEnd) {
    platform::File& source = SourceFile(task);
    if (!source.Seek(task.position)) return CURL_READFUNC_ABORT;
    const int64_t n = source.Read(buffer, static_cast<size_t>(wanted));
    if (n < 0) return CURL_READFUNC_ABORT;
    got = static_cast<uint64_t>(n);
  }
  // The file ended before the length the request announced: libcurl would wait for an answer
  // that the server, still waiting for the body, never gives. Fail the transfer instead.
  if (got == 0) return CURL_READFUNC_ABORT;
  task.position += got;
  task.bodyBytesSent += got;
  task.progressDone.store(task.position);
  return static_cast<size_t>(got);
}

size_t ReadMatchList(char* buffer, size_t size, size_t count, void* userdata) {
  CUploadTask& task = *static_cast<CUploadTask*>(userdata);
  if (task.stopRequested.load() || task.matchBuffer == nullptr || task.matchLength == 0) {
    return CURL_READFUNC_ABORT;
  }
  if (task.matchSendOffset >= task.matchLength) return 0;
  const size_t rest = static_cast<size_t>(task.matchLength - task.matchSendOffset);
  const size_t n = std::min(size * count, rest);
  std::copy_n(task.matchBuffer.get() + task.matchSendOffset, n, buffer);
  task.matchSendOffset += static_cast<int32_t>(n);
  task.bodyBytesSent += n;
  return n;
}

bool UploadInit(CUploadTask& task) {
  HeaderLines lines(kInitLineBuffer);
  lines.Add("x-zm-upload-filesize: %" PRId64, static_cast<int64_t>(task.fileSize));
  lines.Add("x-zm-upload-pathhash: %s", ToUtf8(task.uploadHash).c_str());
  lines.Add("x-zm-upload-filehash: %s", ToUtf8(task.fileHash).c_str());
  lines.Add("x-zm-upload-filename: %s", EncodedFileName(task.storedPath).c_str());
  lines.Add("x-zm-token: %s", ToUtf8(task.accessToken).c_str());
  std::string answer;
  if (!Exchange(task, L"/upload_init", true, lines, {}, answer)) return false;
  ReadInitAnswer(answer, task.uploadSession, task.blockSize);
  if (task.deltaRefused) task.blockSize = 0;
  return true;
}

bool UploadReq(CUploadTask& task) {
  HeaderLines lines(kLineBuffer);
  lines.Add("x-zm-upload-session: %s", task.uploadSession.c_str());
  std::string answer;
  if (!Exchange(task, L"/upload_req", true, lines, {}, answer)) return false;
  task.partStart = static_cast<uint64_t>(ParseDecimal64(answer));
  return true;
}

bool DownloadChecksum(CUploadTask& task) {
  HeaderLines lines(kLineBuffer);
  lines.Add("x-zm-upload-session: %s", task.uploadSession.c_str());
  std::string answer;
  if (!Exchange(task, L"/download_checksum", false, lines, {}, answer)) return false;
  if (answer.size() > static_cast<size_t>(INT32_MAX)) return false;
  return task.delta.LoadChecksums(answer.data(), static_cast<int32_t>(answer.size()));
}

bool UploadChecksumResult(CUploadTask& task) {
  task.matchSendOffset = 0;
  HeaderLines lines(kLineBuffer);
  lines.Add("x-zm-upload-session: %s", task.uploadSession.c_str());
  lines.Add("x-zm-upload-crc: %u", Crc32Buffer(task.matchBuffer.get(), task.matchLength));
  RequestBody body{ReadMatchList, static_cast<uint64_t>(std::max(task.matchLength, 0))};
  std::string answer;
  return Exchange(task, L"/upload_checksum_result", false, lines, body, answer);
}

bool UploadPart(CUploadTask& task, uint64_t length) {
  const uint64_t start = task.position;
  const uint64_t last = start + length - 1;
  const uint32_t crc = ReadPart(task, start, length);
  HeaderLines lines(kLineBuffer);
  lines.Add("x-zm-upload-range: %" PRId64 "-%" PRId64, static_cast<int64_t>(start),
            static_cast<int64_t>(last));
  lines.Add("x-zm-upload-session: %s", task.uploadSession.c_str());
  lines.Add("x-zm-upload-crc: %u", crc);
  lines.Add("Content-Type: application/octet-stream");
  std::string answer;
  if (Exchange(task, L"/upload_part", false, lines, RequestBody{ReadPartData, length}, answer)) {
    return true;
  }
  if (task.status == kStatusAccepted) {
    task.partStart = task.lastByte + 1;
    task.position = task.lastByte + 1;
  } else if (task.status == kStatusConflict) {
    int32_t errorCode = 0;
    std::string expect;
    ReadConflictAnswer(answer, errorCode, expect);
    task.status = errorCode;
    if (errorCode == kErrorExpectOffset)
      task.partStart = static_cast<uint64_t>(ParseDecimal64(expect));
  } else {
    task.position = start;
  }
  return false;
}

bool UploadFinish(CUploadTask& task) {
  HeaderLines lines(kLineBuffer);
  lines.Add("x-zm-upload-session: %s", task.uploadSession.c_str());
  lines.Add("x-zm-upload-filesize: %" PRId64, static_cast<int64_t>(UploadTotal(task)));
  std::string answer;
  return Exchange(task, L"/upload_finish", true, lines, {}, answer);
}

namespace {

// What a step of the protocol leaves: nullopt when the next step follows, else how the upload
// ended. `n` counts the retries of the steps before the parts, `f` the failed parts and finishes.
using StepResult = std::optional<UploadOutcome>;

StepResult StartSession(CUploadTask& task, int& n) {
  while (!UploadInit(task)) {
    if (task.status == kStatusAccepted) return UploadOutcome::kCompleted;
    if (task.status == kStatusServerError) return UploadOutcome::kFailed;
    if (++n > kMaxRetries) return UploadOutcome::kFailed;
  }
  return std::nullopt;
}

StepResult QueryPosition(CUploadTask& task, int& n) {
  while (!UploadReq(task)) {
    const int32_t status = task.status;
    if (status == kStatusUnauthorized) {
      UploadInit(task);  // a fresh upload session; its outcome shows in the next query
    } else if (status == kStatusServerError) {
      return UploadOutcome::kFailed;
    }
    if (++n > kMaxRetries) return UploadOutcome::kFailed;
  }
  return std::nullopt;
}

// Sends the match list. When the matches alone rebuild the file no part is needed, and the
// upload ends here; a refused delta makes the whole content follow.
StepResult SendMatchList(CUploadTask& task, int& n) {
  while (!UploadChecksumResult(task)) {
    if (task.status == kStatusAccepted) {
      while (!UploadFinish(task)) {
        if (++n >= kMaxRetries) return UploadOutcome::kFailed;
      }
      return UploadOutcome::kCompleted;
    }
    if (task.status == kStatusRefused) {
      DropDelta(task);
      SetLastByte(task);
      break;
    }
    if (task.status == kStatusServerError) return UploadOutcome::kFailed;
    if (++n > kMaxRetries) return UploadOutcome::kFailed;
  }
  return std::nullopt;
}

// A delta upload from its start: the server's checksums, the local scan and the match list.
StepResult StartDelta(CUploadTask& task, int& n) {
  // While the server describes its stored copy, the local file's blocks are summed ahead on the
  // processor the client would leave idle.
  task.delta.StartAhead(task.localFile, static_cast<uint32_t>(task.blockSize));
  const Checksums checksums = FetchChecksums(task, n);
  const bool prepared = checksums == Checksums::kRefused ||
                        (checksums == Checksums::kLoaded && PrepareDeltaWithRetries(task, n));
  // The scan stopped the helper; a failure before it must not leave it reading the local file.
  task.delta.StopAhead();
  if (!prepared) return UploadOutcome::kFailed;
  SetLastByte(task);
  if (task.blockSize == 0) return std::nullopt;
  return SendMatchList(task, n);
}

// A resumed delta upload: the literal file of the earlier attempt, or the same one again.
StepResult ResumeDelta(CUploadTask& task, int& n) {
  const std::string literalPath = task.LiteralPath();
  if (FileExists(literalPath)) {
    task.delta.StopAhead();  // that file stands: nothing is scanned again
    while (!task.literalFile.Open(literalPath, platform::File::Mode::kReadWrite)) {
      if (++n > kMaxRetries) return UploadOutcome::kFailed;
    }
  } else {
    const Checksums checksums = FetchChecksums(task, n);
    if (checksums == Checksums::kFailed) return UploadOutcome::kFailed;
    if (checksums == Checksums::kLoaded && !PrepareDeltaWithRetries(task, n)) {
      return UploadOutcome::kFailed;
    }
  }
  SetLastByte(task);
  return std::nullopt;
}

// Settles what the parts carry: the literal bytes of a delta, or the whole file.
StepResult PrepareContent(CUploadTask& task, int& n) {
  if (task.blockSize != 0 && task.partStart == 0) return StartDelta(task, n);
  if (task.blockSize != 0) return ResumeDelta(task, n);
  task.delta.StopAhead();  // the whole file goes: block sums summed early are of no use
  SetLastByte(task);
  return std::nullopt;
}

StepResult SendParts(CUploadTask& task, int& f) {
  if (UploadTotal(task) == 0) return std::nullopt;
  const uint64_t partSize = PartSizeFor(task.fileSize);
  while (task.position <= task.lastByte) {
    if (f >= kMaxPartFailures) return UploadOutcome::kFailed;
    if (task.stopRequested.load()) return UploadOutcome::kStopped;
    if (task.position != task.partStart) {
      // Go on where the server says it holds the content up to, so that range, CRC and body
      // describe the same bytes and nothing the server holds is sent again.
      task.position = std::min(task.partStart, task.lastByte + 1);
      task.partStart = task.position;
      if (task.position > task.lastByte) break;
    }
    const uint64_t length = std::min(partSize, task.lastByte - task.position + 1);
    if (UploadPart(task, length)) {
      task.partStart += length;
      f = 0;
    } else {
      ++f;
    }
    if (UploadTotal(task) == 0) break;
  }
  if (f >= kMaxPartFailures) return UploadOutcome::kFailed;
  return std::nullopt;
}

// Failed finishes count with the failed parts just before them.
UploadOutcome SendFinish(CUploadTask& task, int f) {
  while (!UploadFinish(task)) {
    if (++f >= kMaxPartFailures) return UploadOutcome::kFailed;
  }
  return UploadOutcome::kCompleted;
}

}  // namespace

UploadOutcome RunUploadProtocol(CUploadTask& task) {
  int n = 0;
  if (const StepResult ended = StartSession(task, n)) return *ended;
  // The position query counts its own retries; the delta steps go on with that count.
  n = 0;
  if (const StepResult ended = QueryPosition(task, n)) return *ended;
  if (const StepResult ended = PrepareContent(task, n)) return *ended;
  int f = 0;
  if (const StepResult ended = SendParts(task, f)) return *ended;
  return SendFinish(task, f);
}

}  // namespace plumet
