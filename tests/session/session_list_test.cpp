// The session state machine with fake ports: replacement, expiry, removal during a pass, a deleted
// copy, repeated saves, refused grants, same-name copies, failures and the orderly exit.

#include "session/session_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/unsent_store.h"
#include "session/launch_request.h"
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
    list = std::make_unique<SessionList>(ports, scratch.path + "tmp", scratch.path + "unsent");
  }

  std::string Local(const std::string& name) { return scratch.path + "tmp/" + name; }

  // Registers a session for `remote` (its copy named by the last segment).
  bool Add(const std::wstring& remote) {
    auto s = std::make_unique<EditSession>();
    s->mount = 1;
    s->refreshToken = L"refresh";
    s->remotePath = remote;
    s->localPath = Utf8ToWideForTest(LocalPathFor(list->tempDir(), remote));
    return list->RegisterSession(std::move(s));
  }
  static std::wstring Utf8ToWideForTest(const std::string& s) { return {s.begin(), s.end()}; }

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
  // What an upload task's thread does at its end.
  void EndUpload(const std::wstring& remote, EditSessionState outcome) {
    std::lock_guard<std::recursive_mutex> guard(list->lock());
    Find(remote)->state = outcome;
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
  files.ok = false;
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

TEST_F(SessionListTest, ReplacementByState) {
  struct Case {
    const char* name;
    std::function<void()> reach;  // brings /d/r.txt into the state
    bool registered;
    bool movedAside;
  };
  const std::wstring r = L"/d/r.txt";
  Case cases[] = {
      {"New", [&] { ASSERT_TRUE(Add(r)); }, true, false},
      {"Downloading without hash", [&] { ASSERT_TRUE(Add(r)); list->OnSessionTick(); }, false,
       false},
      {"Downloading with hash",
       [&] {
         files.hash = L"0123456789abcdef0123456789abcdef01234567";
         ASSERT_TRUE(Add(r));
         list->OnSessionTick();
         files.hash.clear();
       },
       true, false},
      {"Editing, saved nothing", [&] { Open(r, "r.txt"); }, true, false},
      {"Editing, saved", [&] { Open(r, "r.txt"); Save("r.txt", 200 * kSecond); }, true, true},
      {"Uploading",
       [&] {
         Open(r, "r.txt");
         Save("r.txt", 200 * kSecond);
         list->OnSessionTick();
         ASSERT_EQ(EditSessionState::Uploading, State(r));
       },
       true, true},
      {"Uploaded",
       [&] {
         Open(r, "r.txt");
         Save("r.txt", 200 * kSecond);
         list->OnSessionTick();
         EndUpload(r, EditSessionState::Uploaded);
       },
       true, false},
      {"Failed upload",
       [&] {
         Open(r, "r.txt");
         Save("r.txt", 200 * kSecond);
         list->OnSessionTick();
         EndUpload(r, EditSessionState::Failed);
       },
       true, true},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.reach();
    const int tasksBefore = tasks.live;
    const bool uploadedBefore = State(r) == EditSessionState::Uploaded;
    EXPECT_EQ(c.registered, Add(r));
    EXPECT_EQ(1u, Count());
    EXPECT_EQ(EditSessionState::New == State(r), c.registered);
    EXPECT_EQ(c.registered ? 0 : tasksBefore, tasks.live);  // replaced tasks stopped and gone
    EXPECT_EQ(c.movedAside, Exists(Local("r.unsent-1.txt")));
    if (c.movedAside) {
      EXPECT_EQ("edited", Read(Local("r.unsent-1.txt")));
    }
    if (uploadedBefore) {
      EXPECT_EQ(1u, notifier.Count(L"文件[/d/r.txt]上传完成"));
    }
    list->CloseAllSessions();
    std::filesystem::remove(Local("r.unsent-1.txt"));
    notifier.texts.clear();
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

TEST_F(SessionListTest, EverySaveBecomesItsOwnUpload) {
  Open(L"/d/a.txt", "a.txt", 100 * kSecond);
  // Saved within the same second as the download: still a change.
  Save("a.txt", 100 * kSecond + 1);
  probes.locked.insert(Local("a.txt"));
  list->OnSessionTick();
  EXPECT_EQ(EditSessionState::Editing, State(L"/d/a.txt"));  // still held for writing
  probes.locked.clear();
  list->OnSessionTick();
  ASSERT_EQ(EditSessionState::Uploading, State(L"/d/a.txt"));
  Save("a.txt", 101 * kSecond);  // saved again while the first upload runs
  EndUpload(L"/d/a.txt", EditSessionState::Uploaded);
  list->OnSessionTick();
  EXPECT_EQ(1u, notifier.Count(L"文件[/d/a.txt]上传完成"));
  EXPECT_EQ(EditSessionState::Editing, State(L"/d/a.txt"));
  EXPECT_TRUE(Exists(Local("a.txt")));
  list->OnSessionTick();
  ASSERT_EQ(EditSessionState::Uploading, State(L"/d/a.txt"));
  EndUpload(L"/d/a.txt", EditSessionState::Uploaded);
  list->OnSessionTick();
  list->OnSessionTick();
  EXPECT_EQ(2, tasks.uploads);
  EXPECT_EQ(2u, notifier.Count(L"文件[/d/a.txt]上传完成"));
  EXPECT_EQ(EditSessionState::Editing, State(L"/d/a.txt"));
  // Nothing unsent at exit: the copy goes with the session.
  list->CloseAllSessions();
  EXPECT_FALSE(Exists(Local("a.txt")));
  EXPECT_EQ(0, tasks.live);
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
  // One line for the failed exchange streak, one for the expiry; never a token.
  ASSERT_EQ(2u, log.lines.size());
  for (const auto& line : log.lines) EXPECT_EQ(std::string::npos, line.find("refresh"));
}

TEST_F(SessionListTest, SameNameFromAnotherFolderMovesUnsentChangesAside) {
  Open(L"/x/a.txt", "a.txt");
  Save("a.txt", 300 * kSecond, "mine");
  ASSERT_TRUE(Add(L"/y/a.txt"));
  EXPECT_EQ(1u, Count());  // two sessions never watch one copy
  EXPECT_EQ("mine", Read(Local("a.unsent-1.txt")));
  EXPECT_FALSE(Exists(Local("a.txt")));
  EXPECT_TRUE(notifier.AnyContaining(L"文件[/x/a.txt]未上传的修改已另存为["));
  list->OnSessionTick();
  tasks.pending(DownloadOutcome::kComplete, {});
  EXPECT_EQ("hello", Read(Local("a.txt")));
  EXPECT_EQ("mine", Read(Local("a.unsent-1.txt")));
}

TEST_F(SessionListTest, FailedUploadAndExitKeepUnsentCopies) {
  Open(L"/d/failed.txt", "failed.txt");
  Save("failed.txt", 200 * kSecond, "f");
  list->OnSessionTick();
  EndUpload(L"/d/failed.txt", EditSessionState::Failed);
  list->OnSessionTick();
  EXPECT_EQ(1u, notifier.Count(L"文件[/d/failed.txt]上传失败，修改保存在[" +
                               Utf8ToWideForTest(Local("failed.txt")) + L"]"));
  Open(L"/d/saved.txt", "saved.txt");
  Save("saved.txt", 200 * kSecond, "s");
  Open(L"/d/clean.txt", "clean.txt");
  Open(L"/d/sending.txt", "sending.txt");
  Save("sending.txt", 200 * kSecond, "u");
  list->OnSessionTick();
  ASSERT_EQ(EditSessionState::Uploading, State(L"/d/sending.txt"));

  list->CloseAllSessions();
  EXPECT_EQ(0, tasks.live);
  EXPECT_FALSE(Exists(Local("clean.txt")));
  for (const char* name : {"failed.txt", "saved.txt", "sending.txt"}) {
    EXPECT_TRUE(Exists(Local(name))) << name;
    EXPECT_EQ(Read(Local(name)), Read(scratch.path + "unsent/" + name)) << name;
  }
  // The next start tells the user where they are.
  notifier.texts.clear();
  SessionList next(ports, scratch.path + "tmp", scratch.path + "unsent");
  next.AnnounceUnsentCopies();
  EXPECT_TRUE(notifier.AnyContaining(L"上次退出时未上传的修改保存在"));
}

TEST_F(SessionListTest, LateDownloadReportOfAReplacedSessionIsIgnored) {
  files.hash = L"0123456789abcdef0123456789abcdef01234567";
  ASSERT_TRUE(Add(L"/d/a.txt"));
  list->OnSessionTick();
  DownloadFinished stale = tasks.pending;
  ASSERT_TRUE(Add(L"/d/a.txt"));
  stale(DownloadOutcome::kComplete, {});
  EXPECT_EQ(EditSessionState::New, State(L"/d/a.txt"));
  EXPECT_EQ(0u, opener.Count());
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
}

}  // namespace
}  // namespace session_test
