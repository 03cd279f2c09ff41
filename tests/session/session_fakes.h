#pragma once
// Fake ports for driving the session list without network, desktop or real time. Local copies are
// real files in a scratch folder; their modification times and locks are what the test says.

#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "session/session_list.h"
#include "session/session_ports.h"
#include "tests/support/scratch_dir.h"

namespace session_test {

using namespace plumet;

struct FakeNotifier : Notifier {
  std::vector<std::wstring> texts;
  std::vector<std::wstring> lasting;  // those shown until closed (also in `texts`)
  std::vector<NoticeAction> actions;  // what each of `lasting` offered
  void ShowLasting(const std::wstring& title, const std::wstring& text,
                   const NoticeAction& action) override {
    {
      std::lock_guard<std::mutex> guard(mutex);
      lasting.push_back(text);
      actions.push_back(action);
    }
    ShowBalloon(title, text);
  }
  std::mutex mutex;
  void ShowBalloon(const std::wstring& title, const std::wstring& text) override {
    std::lock_guard<std::mutex> guard(mutex);
    if (title == L"提示") texts.push_back(text);
  }
  size_t Count(const std::wstring& text) {
    std::lock_guard<std::mutex> guard(mutex);
    size_t n = 0;
    for (const auto& t : texts) n += t == text ? 1 : 0;
    return n;
  }
  bool AnyContaining(const std::wstring& part) {
    std::lock_guard<std::mutex> guard(mutex);
    for (const auto& t : texts)
      if (t.find(part) != std::wstring::npos) return true;
    return false;
  }
};

struct FakeOpener : Opener {
  OpenResult answer = OpenResult::kOpened;
  std::vector<std::string> opened;
  std::mutex mutex;
  OpenResult OpenWithAssociatedApp(const std::string& path) override {
    std::lock_guard<std::mutex> guard(mutex);
    opened.push_back(path);
    return answer;
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(mutex);
    return opened.size();
  }
};

struct FakeClock : Clock {
  int64_t now = 150;  // the fake copies are dated around 100 s
  int64_t NowSeconds() override { return now; }
};

struct FakeTokens : TokenSource {
  std::deque<TokenResult> script;  // answers to give first; then kOk
  int calls = 0;
  TokenResult Refresh(const std::wstring&, std::wstring& access, std::string& cause) override {
    ++calls;
    TokenResult r = TokenResult::kOk;
    if (!script.empty()) {
      r = script.front();
      script.pop_front();
    }
    if (r == TokenResult::kOk)
      access = L"access-" + std::to_wstring(calls);
    else
      cause = "scripted";
    return r;
  }
};

struct FakeFiles : FileService {
  std::deque<RegetEnd> script;  // answers to give first; then `end`
  RegetEnd end = RegetEnd::kFound;
  int64_t size = 5;
  std::wstring hash = L"";
  std::wstring uri = L"http://127.0.0.1:1/content";
  RegetEnd RegetFile(const std::wstring&, const std::wstring&, int32_t, dorvic_file_reget& answer,
                     std::string& cause) override {
    RegetEnd r = end;
    if (!script.empty()) {
      r = script.front();
      script.pop_front();
    }
    if (r != RegetEnd::kFound) {
      cause = "scripted";
      return r;
    }
    answer.filesize = size;
    answer.filehash = hash;
    answer.uri = uri;
    return r;
  }
};

// Modification times come from a table (0: missing); locks from a set.
struct FakeProbes : FileProbes {
  std::map<std::string, int64_t> mtime;
  std::set<std::string> locked;        // open for writing
  std::set<std::string> officeLocked;  // a lock file beside it, or a record lock
  std::set<std::string> openElsewhere;
  std::mutex mutex;
  bool IsFileOpenElsewhere(const std::string& path) override {
    std::lock_guard<std::mutex> guard(mutex);
    return openElsewhere.count(path) != 0;
  }
  bool IsFileLocked(const std::string& path) override {
    std::lock_guard<std::mutex> guard(mutex);
    return locked.count(path) != 0 || officeLocked.count(path) != 0 ||
           ::access(path.c_str(), F_OK) != 0;
  }
  // An office lock file or a record lock holds an expiry back, not an upload.
  bool IsBeingWritten(const std::string& path) override {
    std::lock_guard<std::mutex> guard(mutex);
    return locked.count(path) != 0 || ::access(path.c_str(), F_OK) != 0;
  }
  int64_t GetFileModifiedTime(const std::string& path) override {
    std::lock_guard<std::mutex> guard(mutex);
    if (::access(path.c_str(), F_OK) != 0) return 0;
    auto it = mtime.find(path);
    return it == mtime.end() ? 1 : it->second;
  }
  void Set(const std::string& path, int64_t t) {
    std::lock_guard<std::mutex> guard(mutex);
    mtime[path] = t;
  }
};

// Tasks without threads: the test finishes them when it wants, as their threads would.
struct FakeTask : SessionTask {
  explicit FakeTask(int* live) : live_(live) {
    ++*live_;
    threadDone.store(true);  // no thread: destroying it never waits
  }
  ~FakeTask() override { --*live_; }
  int* live_;
};

struct FakeTasks : TaskFactory {
  int live = 0;
  int uploads = 0;
  UploadJob job;                           // of the last started upload
  std::string sent;                        // what its source file held when it started
  UploadObserver* observer = nullptr;      // of the last started upload
  std::vector<UploadObserver*> observers;  // of every started upload, in order
  bool copyFails = false;
  DownloadFinished pending;  // of the last started download
  std::string content = "hello";

  DownloadStart StartDownload(const DownloadRequest& request, DownloadFinished finished,
                              std::recursive_mutex&, std::unique_ptr<SessionTask>& task) override {
    if (copyFails) return DownloadStart::kCopyFailed;
    std::ofstream(request.localPath, std::ios::binary | std::ios::trunc) << content;
    pending = std::move(finished);
    task = std::make_unique<FakeTask>(&live);
    return DownloadStart::kStarted;
  }
  bool CreateEmptyCopy(const std::string& localPath) override {
    std::ofstream(localPath, std::ios::binary | std::ios::trunc);
    return true;
  }
  std::unique_ptr<SessionTask> StartUpload(const UploadJob& j, UploadObserver* o,
                                           std::recursive_mutex&) override {
    ++uploads;
    job = j;
    observer = o;
    observers.push_back(o);
    std::ifstream in(j.sourcePath, std::ios::binary);
    sent.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return std::make_unique<FakeTask>(&live);
  }
};

struct FakeLog : FailureLog {
  std::vector<std::string> lines;
  std::mutex mutex;
  void Failure(const std::string& line) override {
    std::lock_guard<std::mutex> guard(mutex);
    lines.push_back(line);
  }
};

// The session tests' folder: `path` ends in "/" and holds "tmp" for the copies.
struct Scratch {
  Scratch() {
    if (!dir.ok()) return;
    path = dir.path() + "/";
    std::filesystem::create_directories(path + "tmp");
  }
  plumet_test::ScratchDir dir{"plumet-sess"};
  std::string path;
};

}  // namespace session_test
