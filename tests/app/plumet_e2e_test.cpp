// The whole story against zelmicd, with the real programs as separate processes on a private
// desktop: an "edit" link from the web page → token → re-fetch → "正在打开[...]文件" → download →
// the scripted editor (the default application for text/plain) → save → upload →
// "文件[...]上传完成" → the new version on the service; the copy is removed at the orderly exit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/app/desktop_session.h"
#include "tests/support/zelmic_process.h"

namespace {

using namespace std::chrono_literals;
using plumet_test::DesktopSession;
using plumet_test::PlumetPath;

const char kRemote[] = "/docs/notes.txt";
const char kOriginal[] = "first line\n";
const char kEdited[] = "first line\nedited by the editor\n";

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string HtmlUnescape(std::string s) {
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"&amp;", "&"},
                                 {"&quot;", "\""},
                                 {"&lt;", "<"},
                                 {"&gt;", ">"},
                                 {"&#39;", "'"}}) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
      s.replace(at, from.size(), to);
    }
  }
  return s;
}

class PlumetEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(desk_.ok());
    refresh_ = zelmic_.AddUser("ann", {1}, "ann-password");
    const std::string local = zelmic_.tmp_dir() + "/seed.txt";
    ASSERT_TRUE(zelmic_test::WriteFile(local, kOriginal));
    zelmic_.Put(1, local, kRemote);
    ASSERT_TRUE(zelmic_.Start({"--faults"}));
    cookie_ = zelmic_test::WebLogin(zelmic_.web_base(), "ann", "ann-password");
    ASSERT_FALSE(cookie_.empty());
    ASSERT_TRUE(desk_.StartBus());
    ASSERT_TRUE(desk_.StartServices(false));
    setenv("PLUMET_API_HOST", zelmic_.api_host().c_str(), 1);
    setenv("PLUMET_TOKEN_HOST", zelmic_.token_host().c_str(), 1);
    setenv("PLUMET_WEB_HOST", zelmic_.web_base().c_str(), 1);
    setenv("PLUMET_TEST_EDITOR_LOG", desk_.Path("editor.log").c_str(), 1);
    InstallEditor();
  }

  // `program` (by default the scripted editor) as the default application for text/plain, the way
  // a desktop records it.
  void InstallEditor(const std::string& program = SCRIPTED_EDITOR_PATH) {
    std::filesystem::create_directories(desk_.Path("data/applications"));
    std::ofstream(desk_.Path("data/applications/test-editor.desktop"))
        << "[Desktop Entry]\nType=Application\nName=Test editor\nExec=" << program
        << " %f\nMimeType=text/plain;\n";
    std::ofstream(desk_.Path("config/mimeapps.list"))
        << "[Default Applications]\ntext/plain=test-editor.desktop\n";
  }

  pid_t StartResident() {
    const pid_t pid = desk_.Start({PlumetPath()});
    EXPECT_TRUE(desk_.WaitForFile(desk_.WindowEntry(), 10s)) << Output();
    return pid;
  }

  // The "edit" link of `remote` on ann's page of the web site, followed as the browser does: the
  // page names the service's /edit, which mints the token and redirects to the plumet:// link.
  std::string EditLinkFromWebPage(const std::string& remote) {
    const auto page = zelmic_test::HttpRequest("GET", zelmic_.web_base() + "/", {cookie_});
    EXPECT_EQ(page.status, 200);
    const size_t row = page.body.find(">" + remote + "<");
    const size_t href = page.body.find("class=\"edit\" href=\"", row);
    if (row == std::string::npos || href == std::string::npos) return {};
    const size_t begin = href + 19;
    const std::string edit =
        HtmlUnescape(page.body.substr(begin, page.body.find('"', begin) - begin));
    const auto minted = zelmic_test::HttpRequest("GET", zelmic_.web_base() + edit, {cookie_});
    EXPECT_EQ(minted.status, 303) << edit;
    const std::string kLocation = "Location: ";
    const size_t at = minted.headers.find(kLocation);
    if (at == std::string::npos) return {};
    const size_t from = at + kLocation.size();
    return minted.headers.substr(from, minted.headers.find("\r\n", from) - from);
  }

  void Click(const std::string& link) {
    ASSERT_EQ(link.rfind("plumet://", 0), 0u) << link;
    EXPECT_EQ(desk_.WaitExit(desk_.Start({PlumetPath(), link}), 5s), 0);
  }

  // The current version and content the service holds for `remote`, as its web page offers them.
  std::pair<int, std::string> Stored(const std::string& remote) {
    const auto page = zelmic_test::HttpRequest("GET", zelmic_.web_base() + "/", {cookie_});
    const size_t row = page.body.find(">" + remote + "<");
    if (row == std::string::npos) return {0, "<missing>"};
    const std::string tail = page.body.substr(row, page.body.find("</tr>", row) - row);
    std::smatch m;
    if (!std::regex_search(
            tail, m, std::regex("class=\"num\">([0-9]+)</td><td>.*href=\"(/download/[^\"]+)\""))) {
      return {0, "<unreadable row>"};
    }
    const auto body = zelmic_test::HttpRequest("GET", zelmic_.web_base() + m[2].str());
    return {std::stoi(m[1].str()), body.body};
  }

  // Waits (bounded) until the editor's log holds `text`.
  bool WaitForEditor(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (Slurp(desk_.Path("editor.log")).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  std::string Opening() const { return std::string("正在打开[") + kRemote + "]文件"; }
  std::string Uploaded() const { return std::string("文件[") + kRemote + "]上传完成"; }
  // Copies mirror the mount and the remote folders.
  std::string Copy() const { return desk_.CopyFolder() + "/1" + kRemote; }
  std::string Output() const { return Slurp(desk_.Path("plumet.out")); }

  void ExitAndCheckNothingLeaks(pid_t resident) {
    kill(resident, SIGTERM);
    const int status = desk_.WaitExit(resident, 15s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string out = Output();
    for (const std::string& line : desk_.ServiceLog())
      EXPECT_EQ(line.find("plumet://"), std::string::npos);
    EXPECT_EQ(out.find(refresh_), std::string::npos) << out;
  }

  zelmic_test::ZelmicProcess zelmic_;
  DesktopSession desk_;
  std::string refresh_;
  std::string cookie_;  // ann's login to the web page
};

TEST_F(PlumetEndToEnd, EditLinkOpensTheEditorAndTheSaveBecomesANewVersion) {
  setenv("PLUMET_TEST_EDITOR", "append", 1);
  const pid_t resident = StartResident();
  const std::string link = EditLinkFromWebPage(kRemote);
  Click(link);

  std::string line;
  ASSERT_TRUE(desk_.WaitForLog({Opening()}, 10s, &line)) << Output();
  EXPECT_EQ(line, "notify\tplumet\t提示\t" + Opening() + "\t2000");
  ASSERT_TRUE(WaitForEditor("started " + Copy())) << Output();
  struct stat st {};
  ASSERT_EQ(stat(Copy().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "a copy from the service is never executable";

  ASSERT_TRUE(desk_.WaitForLog({Uploaded()}, 15s)) << Output();
  EXPECT_EQ(Stored(kRemote), (std::pair<int, std::string>{2, kEdited}));

  // The copy stays for later saves while the program runs, and after the orderly exit too: the
  // editor may still save it, and the next start watches it again.
  ExitAndCheckNothingLeaks(resident);
  EXPECT_EQ(Slurp(Copy()), kEdited);
}

TEST_F(PlumetEndToEnd, EditorKeepingTheFileOpenDelaysTheUpload) {
  setenv("PLUMET_TEST_EDITOR", "hold", 1);
  const pid_t resident = StartResident();
  Click(EditLinkFromWebPage(kRemote));
  ASSERT_TRUE(WaitForEditor("holding")) << Output();
  // Written but still open for writing: two ticks pass without an upload.
  std::this_thread::sleep_for(2200ms);
  EXPECT_EQ(desk_.CountLog(Uploaded()), 0u);
  EXPECT_EQ(Stored(kRemote).first, 1);
  ASSERT_TRUE(desk_.WaitForLog({Uploaded()}, 15s)) << Output();
  EXPECT_NE(Slurp(desk_.Path("editor.log")).find("saved"), std::string::npos)
      << "uploaded before the editor let go";
  EXPECT_EQ(Stored(kRemote), (std::pair<int, std::string>{2, kEdited}));
  ExitAndCheckNothingLeaks(resident);
}

TEST_F(PlumetEndToEnd, SaveByRenameAndASecondSaveAreBothStored) {
  setenv("PLUMET_TEST_EDITOR", "rename", 1);
  const pid_t resident = StartResident();
  Click(EditLinkFromWebPage(kRemote));
  ASSERT_TRUE(desk_.WaitForLog({Uploaded()}, 15s)) << Output();
  EXPECT_EQ(Stored(kRemote), (std::pair<int, std::string>{2, kEdited}));

  // The editor saves again later (it still has its buffer): a new version with its own notice.
  std::ofstream(Copy(), std::ios::app) << "saved again\n";
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (desk_.CountLog(Uploaded()) < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(desk_.CountLog(Uploaded()), 2u) << Output();
  EXPECT_EQ(Stored(kRemote),
            (std::pair<int, std::string>{3, std::string(kEdited) + "saved again\n"}));
  ExitAndCheckNothingLeaks(resident);
}

TEST_F(PlumetEndToEnd, TokenEndpointDownThenBack) {
  setenv("PLUMET_TEST_EDITOR", "append", 1);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(
        zelmic_.Script("{\"endpoint\":\"/oauth/token\",\"kind\":\"status\",\"status\":503,"
                       "\"body\":\"down\"}"));
  }
  const pid_t resident = StartResident();
  const auto clicked = std::chrono::steady_clock::now();
  Click(EditLinkFromWebPage(kRemote));
  ASSERT_TRUE(desk_.WaitForLog({Opening()}, 10s)) << Output();
  EXPECT_GE(std::chrono::steady_clock::now() - clicked, 1500ms) << "two refusals are two ticks";
  ASSERT_TRUE(desk_.WaitForLog({Uploaded()}, 15s)) << Output();
  EXPECT_EQ(Stored(kRemote).second, kEdited);
  EXPECT_NE(Output().find("token"), std::string::npos)
      << "the cause of a failure is told on stderr";
  ExitAndCheckNothingLeaks(resident);
}

TEST_F(PlumetEndToEnd, FailedUploadSaysWhereTheCopyIsAndIsSentAgain) {
  setenv("PLUMET_TEST_EDITOR", "append", 1);
  ASSERT_TRUE(
      zelmic_.Script("{\"endpoint\":\"/upload_init\",\"kind\":\"status\",\"status\":500,"
                     "\"body\":\"broken\",\"server\":\"ZELMIC\"}"));
  const pid_t resident = StartResident();
  Click(EditLinkFromWebPage(kRemote));
  ASSERT_TRUE(WaitForEditor("saved")) << Output();
  std::string line;
  ASSERT_TRUE(desk_.WaitForLog({"notify", "notes.txt", "plumet-"}, 15s, &line)) << Output();
  EXPECT_NE(line.find("稍后自动重试"), std::string::npos) << line;
  EXPECT_EQ(Slurp(Copy()), kEdited) << "the user's work is kept";
  // One failure is not the end: the same save lands a few seconds later.
  ASSERT_TRUE(desk_.WaitForLog({Uploaded()}, 20s)) << Output();
  EXPECT_EQ(Stored(kRemote), (std::pair<int, std::string>{2, kEdited}));
  ExitAndCheckNothingLeaks(resident);
}

TEST_F(PlumetEndToEnd, HangupOrQuitEndsInTimeWhateverTheServiceDoesAndKeepsTheSave) {
  setenv("PLUMET_TEST_EDITOR", "hold", 1);
  struct Case {
    const char* stalled;  // what never answers while the save waits to be sent
    int signal;
  } cases[] = {
      {"/oauth/token", SIGHUP},
      {"api:PUT", SIGQUIT},  // the registration, which no stop flag can cut short
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stalled);
    ASSERT_TRUE(zelmic_.ClearScript());
    std::filesystem::remove_all(desk_.Path("state/plumet"));
    std::filesystem::remove(desk_.Path("editor.log"));
    const pid_t resident = StartResident();
    Click(EditLinkFromWebPage(kRemote));
    ASSERT_TRUE(WaitForEditor("holding")) << Output();
    ASSERT_TRUE(zelmic_.Script(std::string("{\"endpoint\":\"") + c.stalled +
                               "\",\"kind\":\"stall\",\"stall_ms\":60000}"));
    ASSERT_TRUE(WaitForEditor("saved")) << Output();
    // The upload is under way and waits for the service.
    ASSERT_TRUE(zelmic_.WaitScriptTaken(c.stalled)) << Output();
    const auto signalled = std::chrono::steady_clock::now();
    kill(resident, c.signal);
    const int status = desk_.WaitExit(resident, 15s);
    const auto took = std::chrono::steady_clock::now() - signalled;
    std::printf("exit with %s stalled: %lld ms\n", c.stalled,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(took, 5s);
    // The save is kept where the user can find it, and the journal sends it at the next start.
    EXPECT_EQ(Slurp(desk_.Path("state/plumet/unsent/notes.txt")), kEdited);
    EXPECT_NE(Slurp(desk_.Path("state/plumet/sessions.json")).find("\"unsent\":true"),
              std::string::npos);
  }
}

TEST_F(PlumetEndToEnd, KillNineWithAnUnsentSaveIsSentByTheNextStart) {
  setenv("PLUMET_TEST_EDITOR", "append", 1);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(
        zelmic_.Script("{\"endpoint\":\"/upload_init\",\"kind\":\"status\",\"status\":500,"
                       "\"body\":\"broken\",\"server\":\"ZELMIC\"}"));
  }
  const pid_t killed = StartResident();
  Click(EditLinkFromWebPage(kRemote));
  ASSERT_TRUE(WaitForEditor("saved")) << Output();
  ASSERT_TRUE(desk_.WaitForLog({"notify", "稍后自动重试"}, 15s)) << Output();
  kill(killed, SIGKILL);
  desk_.WaitExit(killed, 5s);
  ASSERT_TRUE(zelmic_.ClearScript());
  ASSERT_EQ(Stored(kRemote).first, 1);

  // No click: the next start finds the save in its journal and sends it.
  const auto started = std::chrono::steady_clock::now();
  const pid_t resident = StartResident();
  ASSERT_TRUE(desk_.WaitForLog({Uploaded()}, 10s)) << Output();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(Stored(kRemote), (std::pair<int, std::string>{2, kEdited}));
  // A click on the same file now goes to that session: its copy is opened again, nothing is
  // downloaded over it, and the editor's next save is the next version.
  Click(EditLinkFromWebPage(kRemote));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (desk_.CountLog(Uploaded()) < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(desk_.CountLog(Uploaded()), 2u) << Output();
  EXPECT_EQ(desk_.CountLog(Opening()), 1u) << "the first start's download only";
  EXPECT_EQ(Stored(kRemote).first, 3);
  ExitAndCheckNothingLeaks(resident);
}

TEST_F(PlumetEndToEnd, TrayTooltipShowsTheTransferThatRuns) {
  setenv("PLUMET_TEST_EDITOR", "append", 1);
  // A panel reads the tooltip over D-Bus; the service holds each transfer back for a while.
  desk_.StopServices();
  ASSERT_TRUE(desk_.StartServices(true));
  ASSERT_TRUE(desk_.StartDisplay());
  for (const char* endpoint : {"download", "/upload_init"}) {
    ASSERT_TRUE(zelmic_.Script(std::string("{\"endpoint\":\"") + endpoint +
                               "\",\"kind\":\"stall\",\"stall_ms\":3000}"));
  }
  const pid_t resident = StartResident();
  std::string item;
  ASSERT_TRUE(desk_.WaitForLog({"item\t"}, 10s, &item)) << Output();
  item = item.substr(5);
  auto tooltip = [&] {
    const auto r = zelmic_test::RunProgram(
        {"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=" + item,
         "/StatusNotifierItem", "org.freedesktop.DBus.Properties.Get",
         "string:org.kde.StatusNotifierItem", "string:ToolTip"},
        10);
    std::smatch m;
    return std::regex_search(r.out, m, std::regex("string \"(Zelmic[^\"]*)\"")) ? m[1].str()
                                                                                : r.out;
  };
  auto waitFor = [&](const std::regex& wanted) {
    std::string seen;
    for (const auto deadline = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(100ms)) {
      if (std::regex_match(seen = tooltip(), wanted)) break;
    }
    return seen;
  };
  Click(EditLinkFromWebPage(kRemote));
  const std::regex downloading("Zelmic在线编辑插件\n下载 [0-9]+% notes\\.txt");
  const std::regex uploading("Zelmic在线编辑插件\n上传 [0-9]+% notes\\.txt");
  const std::string download = waitFor(downloading);
  EXPECT_TRUE(std::regex_match(download, downloading)) << download;
  const std::string upload = waitFor(uploading);
  EXPECT_TRUE(std::regex_match(upload, uploading)) << upload;
  ASSERT_TRUE(desk_.WaitForLog({Uploaded()}, 15s)) << Output();
  // Stored, and still open in its editor.
  EXPECT_EQ(waitFor(std::regex("Zelmic在线编辑插件\n1个文件正在编辑")),
            "Zelmic在线编辑插件\n1个文件正在编辑");
  ExitAndCheckNothingLeaks(resident);
}

TEST_F(PlumetEndToEnd, VimInTmuxChangesALineAndTheServiceReceivesIt) {
  const std::string socket = desk_.Path("tmux.sock");
  setenv("PLUMET_TEST_TMUX", socket.c_str(), 1);
  InstallEditor(VIM_IN_TMUX_PATH);
  auto tmux = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/tmux", "-S", socket});
    return zelmic_test::RunProgram(args, 10);
  };
  const pid_t resident = StartResident();
  Click(EditLinkFromWebPage(kRemote));
  // vim shows the copy once tmux runs it.
  std::string screen;
  for (const auto deadline = std::chrono::steady_clock::now() + 15s;
       screen.find("first line") == std::string::npos &&
       std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(100ms)) {
    screen = tmux({"capture-pane", "-p", "-t", "edit"}).out;
  }
  ASSERT_NE(screen.find("first line"), std::string::npos) << screen << Output();
  const std::string server = tmux({"display-message", "-p", "-t", "edit", "#{pid}"}).out;
  tmux({"send-keys", "-t", "edit", ":s/first/changed/", "Enter", ":wq", "Enter"});

  EXPECT_TRUE(desk_.WaitForLog({Uploaded()}, 15s)) << Output();
  EXPECT_EQ(Stored(kRemote), (std::pair<int, std::string>{2, "changed line\n"}));
  // The session ended with vim; the server, if it lingers, ends by its PID.
  tmux({"kill-server"});
  const int serverPid = std::atoi(server.c_str());
  if (serverPid > 0 &&
      Slurp("/proc/" + std::to_string(serverPid) + "/comm").rfind("tmux", 0) == 0) {
    kill(serverPid, SIGKILL);
  }
  ExitAndCheckNothingLeaks(resident);
}

}  // namespace
