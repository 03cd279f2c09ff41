// The session state machine with fake ports: replacement, expiry, removal during a pass, a deleted
// copy, repeated saves, refused grants, same-name copies, failures and the orderly exit.

#include "session/session_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/unsent_store.h"
#include "session/launch_request.h"
#include "session/session_files.h"
#include "session_fakes.h"

namespace session_test {
namespace {

constexpr int64_t kSecond = 1000000000;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

class SessionListTest : public ::testing::Test {
 protected:
  SessionListTest() {
    ports.notifier = &notifier;
    ports.opener = &opener;
    ports.clock = &clock;
    ports.tokens = &tokens;
    ports.files = &files;
    ports.probes = &probes;
    ports.tasks = &tasks;
    ports.log = &log;
    list = NewList();
  }

  std::unique_ptr<SessionList> NewList() {
    return std::make_unique<SessionList>(ports, scratch.path + "tmp", scratch.path + "unsent",
                                         scratch.path + "state");
  }

  // The copy of a file in /d/ by its name, or of any remote path.
  std::string Local(const std::string& name) {
    return name[0] == '/' ? LocalPathFor(scratch.path + "tmp/", 1, Wide(name))
                          : LocalPathFor(scratch.path + "tmp/", 1, Wide("/d/" + name));
  }
  static std::wstring Wide(const std::string& s) { return {s.begin(), s.end()}; }

  // A click on `remote` (its copy named by the last segment).
  bool Add(const std::wstring& remote, const std::wstring& token = L"refresh") {
    auto s = std::make_unique<EditSession>();
    s->mount = 1;
    s->refreshToken = token;
    s->remotePath = remote;
    s->localPath = Wide(LocalPathFor(list->tempDir(), 1, remote));
    return list->RegisterSession(std::move(s));
  }

  EditSession* Find(const std::wstring& remote) {
    std::lock_guard<std::recursive_mutex> guard(list->lock());
    for (auto& s : list->sessions())
      if (s->remotePath == remote) return s.get();
    return nullptr;
  }
  EditSessionState State(const std::wstring& remote) {
    std::lock_guard<std::recursive_mutex> guard(list->lock());
    return Find(remote)->state;
  }
  size_t Count() {
    std::lock_guard<std::recursive_mutex> guard(list->lock());
    return list->sessions().size();
  }
  // What an upload task's thread does at its end: report through its observer, lock held.
  void EndUpload(UploadEnd end, const std::wstring& storedPath = {},
                 UploadObserver* observer = nullptr) {
    std::lock_guard<std::recursive_mutex> guard(list->lock());
    UploadReport report;
    report.end = end;
    report.fileHash = L"5f0c8a1e9d3b7c2a4e6f8091a2b3c4d5e6f70819";
    report.conflict = !storedPath.empty();
    report.storedPath = storedPath.empty() ? tasks.job.remotePath : storedPath;
    report.status = end == UploadEnd::kPermanent ? 403 : 503;
    (observer != nullptr ? observer : tasks.observer)->OnUploadFinished(report);
  }

  // The tray menu's text of the only session.
  std::wstring MenuText() {
    const SessionMenu menu = list->Menu();
    return menu.sessions.size() == 1 ? menu.sessions[0].text : L"<not one session>";
  }

  // New -> Downloading -> Editing, the copy's time set to `mtime`.
  void Open(const std::wstring& remote, const std::string& name, int64_t mtime = 100 * kSecond) {
    ASSERT_TRUE(Add(remote));
    list->OnSessionTick();
    ASSERT_EQ(EditSessionState::Downloading, State(remote));
    probes.Set(Local(name), mtime);
    tasks.pending(DownloadOutcome::kComplete, {});
    ASSERT_EQ(EditSessionState::Editing, State(remote));
  }

  // Saves the copy: new content and a new time.
  void Save(const std::string& name, int64_t mtime, const std::string& content = "edited") {
    std::ofstream(Local(name), std::ios::binary | std::ios::trunc) << content;
    probes.Set(Local(name), mtime);
  }

  Scratch scratch;
  FakeNotifier notifier;
  FakeOpener opener;
  FakeClock clock;
  FakeTokens tokens;
  FakeFiles files;
  FakeProbes probes;
  FakeTasks tasks;
  FakeLog log;
  SessionPorts ports;
  std::unique_ptr<SessionList> list;
};

TEST_F(SessionListTest, ClickToEditorThenDownloadFailureNeverOpens) {
  Open(L"/d/a.txt", "a.txt");
  EXPECT_EQ(1u, notifier.Count(L"正在打开[/d/a.txt]文件"));
  ASSERT_EQ(1u, opener.Count());
  EXPECT_EQ(Local("a.txt"), opener.opened[0]);
  EXPECT_EQ("hello", Read(Local("a.txt")));

  // A download that was not the file (status, length, hash): Failed, deleted, never opened.
  ASSERT_TRUE(Add(L"/d/b.txt"));
  list->OnSessionTick();
  tasks.pending(DownloadOutcome::kFailed, "download answered status 404");
  EXPECT_EQ(EditSessionState::Failed, State(L"/d/b.txt"));
  EXPECT_FALSE(Exists(Local("b.txt")));
  EXPECT_EQ(1u, opener.Count());
  EXPECT_EQ(1u, notifier.Count(L"文件[/d/b.txt]下载失败"));
  ASSERT_EQ(1u, log.lines.size());
  EXPECT_NE(std::string::npos, log.lines[0].find("404"));

  // A re-fetch refused: Failed at once.
  files.end = RegetEnd::kRefused;
  ASSERT_TRUE(Add(L"/d/c.txt"));
  list->OnSessionTick();
  EXPECT_EQ(EditSessionState::Failed, State(L"/d/c.txt"));
}

TEST_F(SessionListTest, ContentThatRunsCodeIsNotKept) {
  opener.answer = OpenResult::kRunsCode;
  ASSERT_TRUE(Add(L"/d/tool.desktop"));
  list->OnSessionTick();
  tasks.pending(DownloadOutcome::kComplete, {});
  EXPECT_EQ(EditSessionState::Failed, State(L"/d/tool.desktop"));
  EXPECT_FALSE(Exists(Local("tool.desktop")));
  EXPECT_TRUE(notifier.AnyContaining(L"[/d/tool.desktop]"));
}

TEST_F(SessionListTest, EmptyFileOpensWithoutDownload) {
  files.size = 0;
  ASSERT_TRUE(Add(L"/d/empty.txt"));
  list->OnSessionTick();
  EXPECT_EQ(EditSessionState::Editing, State(L"/d/empty.txt"));
  EXPECT_EQ(0, tasks.live);
  EXPECT_EQ(1u, opener.Count());
  // A size of 0 beside the hash of some content means the size was not announced: downloaded.
  files.hash = L"0123456789abcdef0123456789abcdef01234567";
  ASSERT_TRUE(Add(L"/d/unsized.txt"));
  list->OnSessionTick();
  EXPECT_EQ(EditSessionState::Downloading, State(L"/d/unsized.txt"));
}

TEST_F(SessionListTest, AClickOnAFileWithASessionReopensItsCopy) {
  struct Case {
    const char* name;
    std::function<void()> reach;  // brings /d/r.txt into the state
    EditSessionState after;       // the session's state after the click
    size_t opened;                // how often the copy was opened in all
  };
  const std::wstring r = L"/d/r.txt";
  auto saved = [&] {
    Open(r, "r.txt");
    Save("r.txt", 200 * kSecond);
  };
  Case cases[] = {
      {"New", [&] { ASSERT_TRUE(Add(r)); }, EditSessionState::New, 0},
      {"Downloading without hash",
       [&] {
         ASSERT_TRUE(Add(r));
         list->OnSessionTick();
       },
       EditSessionState::Downloading, 0},
      {"Downloading with hash",
       [&] {
         files.hash = L"0123456789abcdef0123456789abcdef01234567";
         ASSERT_TRUE(Add(r));
         list->OnSessionTick();
         files.hash.clear();
       },
       EditSessionState::Downloading, 0},
      {"Editing, saved nothing", [&] { Open(r, "r.txt"); }, EditSessionState::Editing, 2},
      {"Editing, saved", saved, EditSessionState::Editing, 2},
      {"Uploading",
       [&] {
         saved();
         list->OnSessionTick();
         ASSERT_EQ(EditSessionState::Uploading, State(r));
       },
       EditSessionState::Uploading, 2},
      {"Uploaded",
       [&] {
         saved();
         list->OnSessionTick();
         EndUpload(UploadEnd::kStored);
       },
       EditSessionState::Uploaded, 2},
      {"Upload refused for good",
       [&] {
         saved();
         list->OnSessionTick();
         EndUpload(UploadEnd::kPermanent);
       },
       EditSessionState::Editing, 2},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.reach();
    const std::string before = Exists(Local("r.txt")) ? Read(Local("r.txt")) : "";
    EXPECT_TRUE(Add(r, L"fresh"));
    EXPECT_EQ(1u, Count());
    EXPECT_EQ(c.after, State(r));
    EXPECT_EQ(L"fresh", Find(r)->refreshToken);
    EXPECT_EQ(c.opened, opener.Count());
    // Nothing is downloaded over the copy, and nothing is moved aside.
    if (!before.empty()) {
      EXPECT_EQ(before, Read(Local("r.txt")));
    }
    EXPECT_FALSE(Exists(Local("r.unsent-1.txt")));
    list->CloseAllSessions();
    list = NewList();  // a fresh start without the journal's sessions
    std::filesystem::remove_all(scratch.path + "tmp/1");
    opener.opened.clear();
  }
}

TEST_F(SessionListTest, ExpiryAndTwoRemovalsInOnePass) {
  const int64_t t = clock.now * kSecond;
  Open(L"/d/a.txt", "a.txt", t);
  Open(L"/d/b.txt", "b.txt", t);
  Open(L"/d/c.txt", "c.txt", t + 10 * kSecond);
  clock.now += 600000;
  list->OnSessionTick();
  EXPECT_EQ(3u, Count());
  clock.now += 1;
  probes.locked.insert(Local("c.txt"));  // would not have expired anyway; stays locked later
  list->OnSessionTick();
  // a and b, neighbours in the list, both ended in one pass; their copies are gone.
  EXPECT_EQ(1u, Count());
  EXPECT_NE(nullptr, Find(L"/d/c.txt"));
  EXPECT_FALSE(Exists(Local("a.txt")));
  EXPECT_FALSE(Exists(Local("b.txt")));
  // A copy still locked by its application never expires.
  clock.now += 1000000;
  list->OnSessionTick();
  EXPECT_EQ(1u, Count());
  EXPECT_TRUE(Exists(Local("c.txt")));
}

TEST_F(SessionListTest, DeletedCopyWaitsAndARenamedSaveUploads) {
  Open(L"/d/a.txt", "a.txt");
  std::filesystem::remove(Local("a.txt"));
  for (int i = 0; i < 3; ++i) list->OnSessionTick();
  EXPECT_EQ(EditSessionState::Editing, State(L"/d/a.txt"));
  EXPECT_EQ(0, tasks.uploads);
  // The editor's new file arrives under the name (rename over): it is the copy now.
  Save("a.txt", 100 * kSecond + 1);
  list->OnSessionTick();
  EXPECT_EQ(EditSessionState::Uploading, State(L"/d/a.txt"));
}

TEST_F(SessionListTest, EverySaveBecomesItsOwnUploadOfASnapshot) {
  Open(L"/d/a.txt", "a.txt", 100 * kSecond);
  // Saved within the same second as the download: still a change.
  Save("a.txt", 100 * kSecond + 1, "first");
  probes.locked.insert(Local("a.txt"));
  list->OnSessionTick();
  EXPECT_EQ(EditSessionState::Editing, State(L"/d/a.txt"));  // still held for writing
  probes.locked.clear();
  // An office lock file (the document stays open) does not hold the upload back.
  probes.officeLocked.insert(Local("a.txt"));
  list->OnSessionTick();
  ASSERT_EQ(EditSessionState::Uploading, State(L"/d/a.txt"));
  EXPECT_EQ("first", tasks.sent);
  EXPECT_NE(Local("a.txt"), tasks.job.sourcePath);  // a snapshot, not the copy
  Save("a.txt", 101 * kSecond, "second");           // saved again while the first upload runs
  EXPECT_EQ("first", Read(tasks.job.sourcePath));
  EndUpload(UploadEnd::kStored);
  list->OnSessionTick();
  EXPECT_EQ(1u, notifier.Count(L"文件[/d/a.txt]上传完成"));
  EXPECT_EQ(EditSessionState::Editing, State(L"/d/a.txt"));
  list->OnSessionTick();
  ASSERT_EQ(EditSessionState::Uploading, State(L"/d/a.txt"));
  EXPECT_EQ("second", tasks.sent);
  // What the service last stored is what a colleague's version is told apart from.
  EXPECT_EQ(L"5f0c8a1e9d3b7c2a4e6f8091a2b3c4d5e6f70819", tasks.job.expectedRemoteHashes.back());
  EndUpload(UploadEnd::kStored);
  list->OnSessionTick();
  list->OnSessionTick();
  EXPECT_EQ(2, tasks.uploads);
  EXPECT_EQ(2u, notifier.Count(L"文件[/d/a.txt]上传完成"));
  // The orderly exit keeps the copy: an editor may still save it, and the next start watches it.
  list->CloseAllSessions();
  EXPECT_TRUE(Exists(Local("a.txt")));
  EXPECT_EQ(0, tasks.live);
}

// HH:MM of `seconds` in local time, as the menu shows it.
std::wstring ClockText(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&t, &local);
  wchar_t text[8];
  swprintf(text, 8, L"%02d:%02d", local.tm_hour, local.tm_min);
  return text;
}

TEST_F(SessionListTest, AFailedUploadIsRetriedWithGrowingDelaysUntilItLands) {
  Open(L"/d/a.txt", "a.txt");
  Save("a.txt", 200 * kSecond);
  list->OnSessionTick();
  // Each failure waits longer; the attempts in 10 minutes of ticks are counted, not timed.
  int attempts = 1;
  std::vector<int64_t> waits;
  int64_t failedAt = clock.now;
  for (int tick = 0; tick < 600; ++tick) {
    if (State(L"/d/a.txt") == EditSessionState::Uploading) {
      if (tasks.uploads > attempts) {
        attempts = tasks.uploads;
        waits.push_back(clock.now - failedAt);
      }
      if (waits.size() == 5) break;
      EndUpload(UploadEnd::kRetry);
      failedAt = clock.now;
      EXPECT_EQ(L"/d/a.txt（等待服务）", MenuText());
    }
    ++clock.now;
    list->OnSessionTick();
  }
  ASSERT_EQ(5u, waits.size());
  for (size_t i = 0; i < waits.size(); ++i) {
    const int64_t base = int64_t{5} << i;
    EXPECT_GE(waits[i], base) << i;
    EXPECT_LE(waits[i], base + base / 4 + 1) << i;
  }
  // Told once when the trouble started; the copy is never given up.
  EXPECT_EQ(1u, notifier.Count(L"文件[/d/a.txt]暂时无法上传，修改保存在[" + Wide(Local("a.txt")) +
                               L"]，稍后自动重试"));
  EXPECT_EQ(0u, notifier.Count(L"文件[/d/a.txt]上传完成"));
  EXPECT_EQ(L"/d/a.txt（正在上传）", MenuText());
  EndUpload(UploadEnd::kStored);
  list->OnSessionTick();
  EXPECT_EQ(1u, notifier.Count(L"文件[/d/a.txt]上传完成"));
  EXPECT_EQ(L"/d/a.txt（已于" + ClockText(clock.now) + L"上传）", MenuText());
  EXPECT_EQ(300, SessionList::RetryDelay(30, 0));
}

TEST_F(SessionListTest, AServiceThatDoesNotAnswerIsToldOnceAndSoIsItsReturn) {
  const std::wstring waiting = L"暂时无法连接服务，未完成的打开和上传会在恢复后自动继续";
  const std::wstring back = L"服务已恢复，等待中的文件已继续处理";
  // The token host away, or the token host answering while the file service does not.
  for (bool tokenHostAway : {true, false}) {
    SCOPED_TRACE(tokenHostAway ? "token host" : "file service");
    const std::wstring remote = tokenHostAway ? L"/d/a.txt" : L"/d/b.txt";
    if (tokenHostAway)
      tokens.script.assign(6, TokenResult::kFailed);
    else
      files.script.assign(6, RegetEnd::kRetry);
    ASSERT_TRUE(Add(remote));
    for (int i = 0; i < 6; ++i) list->OnSessionTick();
    EXPECT_EQ(EditSessionState::New, State(remote));
    EXPECT_EQ(1u, notifier.Count(waiting));
    EXPECT_EQ(std::vector<std::wstring>{waiting}, notifier.lasting);  // stays until closed
    EXPECT_EQ(0u, notifier.Count(back));
    list->OnSessionTick();  // the service answers: the download starts, and the user is told
    EXPECT_EQ(EditSessionState::Downloading, State(remote));
    EXPECT_EQ(1u, notifier.Count(back));
    notifier.texts.clear();
    notifier.lasting.clear();
  }
}

TEST_F(SessionListTest, ARefusedUploadStopsUntilTheNextClick) {
  Open(L"/d/a.txt", "a.txt");
  Save("a.txt", 200 * kSecond, "mine");
  list->OnSessionTick();
  EndUpload(UploadEnd::kPermanent);
  for (int i = 0; i < 20; ++i, clock.now += 60) list->OnSessionTick();
  EXPECT_EQ(1, tasks.uploads);
  EXPECT_EQ(EditSessionState::Failed, State(L"/d/a.txt"));
  EXPECT_EQ(1u,
            notifier.Count(L"文件[/d/a.txt]上传失败，修改保存在[" + Wide(Local("a.txt")) + L"]"));
  ASSERT_EQ(1u, notifier.actions.size());
  EXPECT_EQ(NoticeAction::Kind::kOpenFolder, notifier.actions[0].kind);
  EXPECT_EQ(FolderOf(Local("a.txt")), notifier.actions[0].folder);
  EXPECT_EQ(L"/d/a.txt（未上传）", MenuText());
  EXPECT_EQ(1, list->Menu().stillOpen);  // the exit would leave it unsent
  ASSERT_TRUE(Add(L"/d/a.txt", L"fresh"));
  list->OnSessionTick();
  EXPECT_EQ(2, tasks.uploads);
  EXPECT_EQ("mine", tasks.sent);
}

TEST_F(SessionListTest, AnExpiredLinkKeepsTheCopyAndTheNextClickSendsIt) {
  Open(L"/d/a.txt", "a.txt");
  Save("a.txt", 200 * kSecond, "mine");
  tokens.script.assign(5, TokenResult::kInvalidGrant);
  for (int i = 0; i < 20; ++i) list->OnSessionTick();
  EXPECT_EQ(1 + 5, tokens.calls);  // after the fifth refusal nobody asks again
  EXPECT_EQ(0, tasks.uploads);
  EXPECT_EQ(1u, notifier.Count(L"文件[/d/a.txt]的编辑链接已过期，修改保存在[" +
                               Wide(Local("a.txt")) + L"]"));
  ASSERT_TRUE(Add(L"/d/a.txt", L"fresh"));
  list->OnSessionTick();
  EXPECT_EQ(1, tasks.uploads);
  EXPECT_EQ("mine", tasks.sent);
}

TEST_F(SessionListTest, AColleaguesVersionMakesAConflictCopyAndTheSessionFollowsIt) {
  files.hash = L"0123456789abcdef0123456789abcdef01234567";
  Open(L"/d/a.txt", "a.txt");
  Save("a.txt", 200 * kSecond);
  list->OnSessionTick();
  ASSERT_EQ(std::vector<std::wstring>{files.hash}, tasks.job.expectedRemoteHashes);
  const std::wstring conflict = L"/d/a (冲突副本 2026-12-07 213015).txt";
  EndUpload(UploadEnd::kStored, conflict);
  EXPECT_EQ(1u, notifier.Count(L"文件[/d/a.txt]在编辑期间已被他人修改，您的修改已另存为[" +
                               conflict + L"]"));
  list->OnSessionTick();
  ASSERT_NE(nullptr, Find(conflict));
  Save("a.txt", 300 * kSecond);
  list->OnSessionTick();
  EXPECT_EQ(conflict, tasks.job.remotePath);
}

TEST_F(SessionListTest, RefusedGrantFiveTimesInARowExpiresTheLink) {
  using T = TokenResult;
  tokens.script = {T::kInvalidGrant, T::kInvalidGrant, T::kInvalidGrant, T::kInvalidGrant,
                   T::kFailed,       T::kInvalidGrant, T::kInvalidGrant, T::kInvalidGrant,
                   T::kInvalidGrant, T::kInvalidGrant};
  ASSERT_TRUE(Add(L"/d/a.txt"));
  for (int i = 0; i < 9; ++i) list->OnSessionTick();
  EXPECT_EQ(EditSessionState::New, State(L"/d/a.txt"));  // other failures are retried
  list->OnSessionTick();
  EXPECT_EQ(EditSessionState::Failed, State(L"/d/a.txt"));
  EXPECT_EQ(1u, notifier.Count(L"文件[/d/a.txt]的编辑链接已过期，请从网页重新打开"));
  ASSERT_EQ(1u, notifier.actions.size());
  EXPECT_EQ(NoticeAction::Kind::kReopenWebPage, notifier.actions[0].kind);
  // One line for the failed exchange streak, one for the expiry; never a token.
  ASSERT_EQ(2u, log.lines.size());
  for (const auto& line : log.lines) EXPECT_EQ(std::string::npos, line.find("refresh"));
}

TEST_F(SessionListTest, SameNameInTwoFoldersKeepsTwoCopies) {
  Open(L"/x/a.txt", "/x/a.txt");
  Save("/x/a.txt", 300 * kSecond, "mine");
  Open(L"/y/a.txt", "/y/a.txt");
  EXPECT_EQ(2u, Count());
  EXPECT_NE(Local("/x/a.txt"), Local("/y/a.txt"));
  EXPECT_EQ("mine", Read(Local("/x/a.txt")));
  EXPECT_EQ("hello", Read(Local("/y/a.txt")));
  list->OnSessionTick();
  EXPECT_EQ(L"/x/a.txt", tasks.job.remotePath);
  EXPECT_EQ("mine", tasks.sent);
}

TEST_F(SessionListTest, ADownloadNeverReplacesACopyItDoesNotKnow) {
  // A copy left by a run whose journal is gone: the user's work until shown otherwise.
  std::filesystem::create_directories(scratch.path + "tmp/1/d");
  std::ofstream(Local("a.txt")) << "mine";
  Open(L"/d/a.txt", "a.txt");
  EXPECT_EQ("hello", Read(Local("a.txt")));
  EXPECT_EQ("mine", Read(Local("a.unsent-1.txt")));
  EXPECT_TRUE(notifier.AnyContaining(L"文件[/d/a.txt]未上传的修改已另存为["));
}

TEST_F(SessionListTest, TheJournalResumesEverySessionAfterAKill) {
  struct Case {
    const char* name;
    std::function<void()> reach;  // brings /d/a.txt into the state
    bool uploadsAtOnce;           // the next start sends the copy without a click
  };
  const std::wstring a = L"/d/a.txt";
  auto saved = [&] {
    Open(a, "a.txt");
    Save("a.txt", 200 * kSecond, "mine");
  };
  Case cases[] = {
      {"Editing, nothing saved", [&] { Open(a, "a.txt"); }, false},
      {"Editing, saved", saved, true},
      {"Uploading",
       [&] {
         saved();
         list->OnSessionTick();
       },
       true},
      {"Retrying",
       [&] {
         saved();
         list->OnSessionTick();
         EndUpload(UploadEnd::kRetry);
       },
       true},
      {"Uploaded, not yet told",
       [&] {
         saved();
         list->OnSessionTick();
         EndUpload(UploadEnd::kStored);
       },
       false},
      {"Refused for good",
       [&] {
         saved();
         list->OnSessionTick();
         EndUpload(UploadEnd::kPermanent);
       },
       false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.reach();
    // kill -9: the list is never closed; the next start reads what was written.
    std::unique_ptr<SessionList> killed = std::move(list);
    list = NewList();
    list->Resume();
    ASSERT_EQ(1u, Count());
    const int before = tasks.uploads;
    list->OnSessionTick();
    EXPECT_EQ(c.uploadsAtOnce ? before + 1 : before, tasks.uploads);
    if (c.uploadsAtOnce) {
      EXPECT_EQ("mine", tasks.sent);
      EXPECT_EQ(a, tasks.job.remotePath);
    }
    // Only the user may read the journal and its tokens.
    for (const char* file : {"sessions.json", "credentials.json"}) {
      struct stat st;
      ASSERT_EQ(0, ::stat((scratch.path + "state/" + file).c_str(), &st));
      EXPECT_EQ(0600u, st.st_mode & 0777) << file;
    }
    EXPECT_EQ(std::string::npos, Read(scratch.path + "state/sessions.json").find("refresh"));
    killed.reset();
    list.reset();
    std::filesystem::remove_all(scratch.path + "tmp/1");
    std::filesystem::remove_all(scratch.path + "state");
    list = NewList();
  }
}

TEST_F(SessionListTest, ExitKeepsUnsentCopiesAndTheNextStartSendsThem) {
  Open(L"/d/saved.txt", "saved.txt");
  Save("saved.txt", 200 * kSecond, "s");
  Open(L"/d/clean.txt", "clean.txt");
  Open(L"/d/sending.txt", "sending.txt");
  Save("sending.txt", 200 * kSecond, "u");
  list->OnSessionTick();  // both start uploading
  ASSERT_EQ(EditSessionState::Uploading, State(L"/d/sending.txt"));

  list->CloseAllSessions();
  EXPECT_EQ(0, tasks.live);
  EXPECT_TRUE(Exists(Local("clean.txt")));
  // Both the copy and the one kept aside hold what the editor saved.
  for (const auto& [name, text] : {std::pair{"saved.txt", "s"}, std::pair{"sending.txt", "u"}}) {
    EXPECT_TRUE(Exists(Local(name))) << name;
    EXPECT_EQ(text, Read(Local(name))) << name;
    EXPECT_EQ(text, Read(scratch.path + "unsent/" + name)) << name;
  }
  // The next start tells the user where they are, and sends them; a copy that lands leaves the
  // unsent store. A temp folder emptied by a reboot gets the copy back from the store.
  std::filesystem::remove(Local("saved.txt"));
  notifier.texts.clear();
  list = NewList();
  list->AnnounceUnsentCopies();
  EXPECT_TRUE(notifier.AnyContaining(L"上次退出时未上传的修改保存在"));
  list->Resume();
  EXPECT_EQ(3u, Count());
  EXPECT_EQ("s", Read(Local("saved.txt")));
  const size_t before = tasks.observers.size();
  list->OnSessionTick();
  ASSERT_EQ(before + 2, tasks.observers.size());  // both sent without a click
  for (size_t i = before; i < before + 2; ++i)
    EndUpload(UploadEnd::kStored, {}, tasks.observers[i]);
  list->OnSessionTick();
  EXPECT_TRUE(std::filesystem::is_empty(scratch.path + "unsent"));
}

TEST_F(SessionListTest, LateReportsOfAnEndedSessionAreIgnored) {
  files.hash = L"0123456789abcdef0123456789abcdef01234567";
  ASSERT_TRUE(Add(L"/d/a.txt"));
  list->OnSessionTick();
  DownloadFinished stale = tasks.pending;
  list->CloseAllSessions();
  ASSERT_TRUE(Add(L"/d/a.txt"));  // the same file again: another session
  stale(DownloadOutcome::kComplete, {});
  EXPECT_EQ(EditSessionState::New, State(L"/d/a.txt"));
  EXPECT_EQ(0u, opener.Count());
}

// Calls that never answer and a task that never stops: the exit still ends, after saving.
struct NeverAnswering : Dispatcher {
  std::vector<std::function<void()>> held;
  void Post(std::function<void()> work) override { held.push_back(std::move(work)); }
};
struct Unstoppable : SessionTask {};

TEST_F(SessionListTest, ExitSavesFirstAndEndsWhateverTheNetworkDoes) {
  Open(L"/d/a.txt", "a.txt");
  Save("a.txt", 200 * kSecond, "mine");
  NeverAnswering calls;
  ports.dispatcher = &calls;
  list = NewList();
  list->Resume();
  int woken = 0;
  list->SetWake([&] { ++woken; });
  ASSERT_TRUE(Add(L"/d/b.txt"));
  list->OnSessionTick();  // both wait for a token that never comes
  ASSERT_EQ(2u, calls.held.size());
  auto* stuck = new Unstoppable;
  {
    std::lock_guard<std::recursive_mutex> guard(list->lock());
    Find(L"/d/a.txt")->task.reset(stuck);
  }
  list->CloseAllSessions(std::chrono::milliseconds(20));
  EXPECT_TRUE(list->LeftWorkRunning());
  delete stuck;  // left to the end of the process by the list; ours to free here
  EXPECT_EQ("mine", Read(scratch.path + "unsent/a.txt"));
  // An answer after the exit goes nowhere and wakes nobody; the next start has both sessions.
  calls.held[0]();
  EXPECT_EQ(0, woken);
  list = NewList();
  list->Resume();
  EXPECT_EQ(2u, Count());
  EXPECT_EQ(EditSessionState::New, State(L"/d/b.txt"));
}

TEST_F(SessionListTest, LaunchRequestRefusedWhileTheCopyIsOpen) {
  // "1|/d/a.txt|tok"
  const std::wstring link = L"plumet://MXwvZC9hLnR4dHx0b2s=/";
  probes.openElsewhere.insert(Local("a.txt"));
  EXPECT_FALSE(OnLaunchRequest(*list, link));
  EXPECT_EQ(1u, notifier.Count(L"[/d/a.txt]文件已经打开"));
  EXPECT_EQ(0u, Count());
  probes.openElsewhere.clear();
  EXPECT_TRUE(OnLaunchRequest(*list, link));
  EXPECT_FALSE(OnLaunchRequest(*list, L"plumet://MXwvZC9hLnR4dA==/"));  // "1|/d/a.txt"
  EXPECT_EQ(1u, Count());
  // Once the file has a session, its open copy is that session's: the click goes to it.
  probes.openElsewhere.insert(Local("a.txt"));
  EXPECT_TRUE(OnLaunchRequest(*list, link));
  EXPECT_EQ(1u, Count());
}

}  // namespace
}  // namespace session_test
