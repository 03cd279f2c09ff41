#include "session/engine_ports.h"

#include <curl/curl.h>
#include <dorvic/dorvic.h>
#include <syslog.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <system_error>
#include <thread>

#include "auth/token_refresh.h"
#include "common/display_text.h"
#include "common/text_utf.h"
#include "platform/exclusive_probe.h"
#include "platform/file.h"
#include "platform/file_probe.h"
#include "platform/file_time.h"
#include "platform/lock_probe.h"
#include "session/download_task.h"
#include "upload/service_calls.h"
#include "upload/upload_task.h"

namespace plumet {

using plumet_text::ToUtf8;

namespace {

class SystemClock : public Clock {
 public:
  int64_t NowSeconds() override { return static_cast<int64_t>(std::time(nullptr)); }
};

// The token exchange runs off the main thread, several at once: each gets a handle of its own.
class EndpointTokens : public TokenSource {
 public:
  EndpointTokens() : endpoint_(TokenEndpoint(TokenHostFromEnvironment())) {}

  TokenResult Refresh(const std::wstring& refreshToken, std::wstring& accessToken,
                      std::string& cause) override {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
      cause = "no HTTP handle";
      return TokenResult::kFailed;
    }
    const TokenResult result =
        RefreshAccessToken(curl, endpoint_, refreshToken, accessToken, &cause);
    curl_easy_cleanup(curl);
    return result;
  }

 private:
  const std::string endpoint_;
};

// Each call on a thread of its own, never joined: a service that does not answer holds only that
// thread, and the program may end without waiting for it.
class DetachedCalls : public Dispatcher {
 public:
  void Post(std::function<void()> work) override {
    try {
      std::thread(std::move(work)).detach();
    } catch (const std::system_error&) {
      work();  // no thread to be had: late is better than never
    }
  }
};

class DorvicFiles : public FileService {
 public:
  RegetEnd RegetFile(const std::wstring& accessToken, const std::wstring& remotePath, int32_t mount,
                     dorvic_file_reget& answer, std::string& cause) override {
    // The library's last error is one for the process: read it before an upload worker's call
    // can replace it.
    std::lock_guard<std::mutex> hold(ServiceCallLock());
    if (dorvic_regetfile(accessToken, remotePath, mount, answer)) return RegetEnd::kFound;
    std::wstring message;
    const int32_t code = dorvic_get_last_error_code(message);
    cause = "service error " + std::to_string(code) + ": " + ToUtf8(message);
    return IsServiceTrouble(code) ? RegetEnd::kRetry : RegetEnd::kRefused;
  }
};

class PlatformProbes : public FileProbes {
 public:
  bool IsFileOpenElsewhere(const std::string& path) override {
    return platform::IsFileOpenElsewhere(path);
  }
  bool IsFileLocked(const std::string& path) override { return platform::IsFileLocked(path); }
  bool IsBeingWritten(const std::string& path) override {
    platform::File file;
    return !platform::OpenDenyingWriters(path, file);
  }
  int64_t GetFileModifiedTime(const std::string& path) override {
    return platform::ModifiedTimeNs(path);
  }
};

class EngineTasks : public TaskFactory {
 public:
  DownloadStart StartDownload(const DownloadRequest& request, DownloadFinished finished,
                              std::recursive_mutex& sessionLock,
                              std::unique_ptr<SessionTask>& task) override {
    auto download = std::make_unique<DownloadTask>(sessionLock);
    if (!download->Open(request, std::move(finished)) || !download->Start())
      return DownloadStart::kCopyFailed;
    task = std::move(download);
    return DownloadStart::kStarted;
  }

  bool CreateEmptyCopy(const std::string& localPath) override {
    platform::File file;
    return file.Open(localPath, platform::File::Mode::kCreate) && file.RestrictToOwner();
  }

  std::unique_ptr<SessionTask> StartUpload(const UploadJob& job, UploadObserver* observer,
                                           std::recursive_mutex& sessionLock) override {
    auto task = std::make_unique<CUploadTask>(job, sessionLock, observer);
    if (!task->Start()) return nullptr;
    return task;
  }
};

class SyslogFailures : public FailureLog {
 public:
  SyslogFailures() { ::openlog("plumet", LOG_PID, LOG_USER); }
  void Failure(const std::string& line) override {
    // A line may carry a remote path from a link: its line breaks and escape sequences must
    // neither forge log lines nor drive the terminal.
    const std::string safe = plumet_text::ControlsReplacedUtf8(line);
    std::fprintf(stderr, "plumet: %s\n", safe.c_str());
    ::syslog(LOG_WARNING, "%s", safe.c_str());
  }
};

}  // namespace

struct EnginePorts::Impl {
  SystemClock clock;
  EndpointTokens tokens;
  DorvicFiles files;
  PlatformProbes probes;
  EngineTasks tasks;
  SyslogFailures log;
  DetachedCalls calls;
};

EnginePorts::EnginePorts() : impl_(std::make_unique<Impl>()) {}
EnginePorts::~EnginePorts() = default;

void EnginePorts::SetDesktop(Notifier* notifier, Opener* opener) {
  notifier_ = notifier;
  opener_ = opener;
}

SessionPorts EnginePorts::Ports() const {
  SessionPorts ports;
  ports.notifier = notifier_;
  ports.opener = opener_;
  ports.clock = &impl_->clock;
  ports.tokens = &impl_->tokens;
  ports.files = &impl_->files;
  ports.probes = &impl_->probes;
  ports.tasks = &impl_->tasks;
  ports.log = &impl_->log;
  ports.dispatcher = &impl_->calls;
  return ports;
}

}  // namespace plumet
