// The whole path against a private zelmicd with the real engine ports (token exchange, re-fetch,
// download, upload, probes); only the desktop (notifications, the editor) is faked: an edit link
// becomes a copy opened in the "editor", each save becomes a stored version, exit cleans up.

#include <curl/curl.h>
#include <dorvic/dorvic.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "common/endpoints.h"
#include "platform/unsent_store.h"
#include "session/engine_ports.h"
#include "session/launch_request.h"
#include "session/session_list.h"
#include "session_fakes.h"
#include "tests/support/zelmic_process.h"
#include "tests/upload/upload_test_util.h"

namespace session_test {
namespace {

constexpr int kMount = 1;
constexpr const char* kRemote = "/docs/note.txt";

class SessionZelmicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    upload_test::ClearProxyEnvironment();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::string refresh = zelmic.AddUser("ann", {kMount});
    ASSERT_FALSE(refresh.empty());
    const std::string seed = zelmic.tmp_dir() + "/seed.txt";
    ASSERT_TRUE(upload_test::WriteBytes(seed, "first version\n"));
    zelmic.Put(kMount, seed, kRemote);
    ASSERT_TRUE(zelmic.Start({"--faults"}));
    access = zelmic.AccessToken(refresh);
    dorvic_set_host(upload_test::Widen(zelmic.api_host()));
    dorvic_set_secret(upload_test::Widen(plumet_defaults::kClientSecret));
    ::setenv("PLUMET_TOKEN_HOST", zelmic.token_host().c_str(), 1);
    engine = std::make_unique<EnginePorts>();
    engine->SetDesktop(&notifier, &opener);
    list = std::make_unique<SessionList>(engine->Ports(), scratch.path + "tmp",
                                         scratch.path + "unsent", scratch.path + "state");
    copy = LocalPathFor(scratch.path + "tmp/", kMount, upload_test::Widen(kRemote));
  }
  void TearDown() override {
    list.reset();
    engine.reset();
    ::unsetenv("PLUMET_TOKEN_HOST");
  }

  std::string Stored() {
    dorvic_file_reget file;
    if (!dorvic_regetfile(upload_test::Widen(access), upload_test::Widen(kRemote), kMount, file))
      return "<no such file>";
    const zelmic_test::HttpResult r =
        zelmic_test::HttpRequest("GET", std::string(file.uri.begin(), file.uri.end()));
    return r.status == 200 ? r.body : "<download failed>";
  }

  // Ticks once a tenth of a second (bounded) until `done` holds.
  template <typename Done>
  bool TickUntil(Done done) {
    for (int i = 0; i < 300; ++i) {
      if (done()) return true;
      list->OnSessionTick();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
  }

  Scratch scratch;
  zelmic_test::ZelmicProcess zelmic;
  std::string access;
  FakeNotifier notifier;
  FakeOpener opener;
  std::unique_ptr<EnginePorts> engine;
  std::unique_ptr<SessionList> list;
  std::string copy;  // the local copy of kRemote
};

TEST_F(SessionZelmicTest, LinkToEditorToStoredVersionsToExit) {
  const std::string link = zelmic.Link(kMount, kRemote, "ann");
  ASSERT_FALSE(link.empty());
  ASSERT_TRUE(OnLaunchRequest(*list, upload_test::Widen(link)));
  list->OnSessionTick();  // the shell ticks at once after a launch request
  ASSERT_TRUE(TickUntil([&] { return opener.Count() == 1; }));
  EXPECT_EQ(1u, notifier.Count(L"正在打开[/docs/note.txt]文件"));
  EXPECT_EQ(copy, opener.opened[0]);
  EXPECT_EQ("first version\n", upload_test::ReadAll(copy));
  struct stat st;
  ASSERT_EQ(0, ::stat(copy.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);

  // The editor writes the copy in place.
  ASSERT_TRUE(upload_test::WriteBytes(copy, "second version\n"));
  ASSERT_TRUE(TickUntil([&] { return notifier.Count(L"文件[/docs/note.txt]上传完成") == 1; }));
  EXPECT_EQ("second version\n", Stored());

  // The editor saves again, by writing a new file and renaming it over the copy.
  const std::string fresh = copy.substr(0, copy.rfind('/')) + "/.note.txt.swp";
  ASSERT_TRUE(upload_test::WriteBytes(fresh, "third version\n"));
  ASSERT_EQ(0, std::rename(fresh.c_str(), copy.c_str()));
  ASSERT_TRUE(TickUntil([&] { return notifier.Count(L"文件[/docs/note.txt]上传完成") == 2; }));
  EXPECT_EQ("third version\n", Stored());

  // Everything reached the service: the exit keeps nothing aside, and the copy stays where the
  // editor may still save it.
  list->CloseAllSessions();
  EXPECT_TRUE(std::filesystem::exists(copy));
  EXPECT_TRUE(platform::ListUnsentCopies(scratch.path + "unsent").empty());
  EXPECT_EQ(1u, opener.Count());
}

TEST_F(SessionZelmicTest, TokenEndpointDownThenBackAndAFailedUploadKeepsTheEdits) {
  const std::string link = zelmic.Link(kMount, kRemote, "ann");
  ASSERT_FALSE(link.empty());
  const std::string down = R"({"endpoint":"/oauth/token","kind":"status","status":503})";
  ASSERT_TRUE(zelmic.Script(down));
  ASSERT_TRUE(zelmic.Script(down));
  ASSERT_TRUE(OnLaunchRequest(*list, upload_test::Widen(link)));
  list->OnSessionTick();
  list->OnSessionTick();
  EXPECT_EQ(0u, notifier.Count(L"正在打开[/docs/note.txt]文件"));  // still waiting for a token
  ASSERT_TRUE(TickUntil([&] { return opener.Count() == 1; }));

  // One 500 at registration: the upload fails, the user is told once, and it is sent again
  // after a short wait.
  ASSERT_TRUE(zelmic.Script(R"({"endpoint":"api:PUT","kind":"status","status":500})"));
  ASSERT_TRUE(upload_test::WriteBytes(copy, "precious edits\n"));
  const std::wstring told = L"文件[/docs/note.txt]暂时无法上传，修改保存在[" +
                            upload_test::Widen(copy) + L"]，稍后自动重试";
  ASSERT_TRUE(TickUntil([&] { return notifier.Count(told) == 1; }));
  EXPECT_EQ("first version\n", Stored());
  ASSERT_TRUE(TickUntil([&] { return notifier.Count(L"文件[/docs/note.txt]上传完成") == 1; }));
  EXPECT_EQ("precious edits\n", Stored());
  EXPECT_EQ(1u, notifier.Count(told));
}

}  // namespace
}  // namespace session_test
