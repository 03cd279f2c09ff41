// The tray icon as a desktop sees it: `plumet` on X (Xvfb) with a StatusNotifierWatcher on its
// private session bus, read and driven over D-Bus the way a panel does: the tooltip, activation
// opening the web site in the default browser, the icon coming back after the watcher restarts,
// the menu listing each edited file with its state and opening its copy again, and "退出" ending
// the program in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/app/desktop_session.h"
#include "tests/support/zelmic_process.h"

namespace {

using namespace std::chrono_literals;
using plumet_test::DesktopSession;
using plumet_test::PlumetPath;
using zelmic_test::ReadFile;

class PlumetTray : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(desk_.ok());
    ASSERT_TRUE(desk_.StartDisplay());
    ASSERT_TRUE(desk_.StartBus());
    ASSERT_TRUE(desk_.StartServices(true));
    setenv("PLUMET_WEB_HOST", "127.0.0.1:9", 1);  // never contacted: the fake browser only notes it
    setenv("PLUMET_TEST_BROWSER_LOG", desk_.Path("browser.log").c_str(), 1);
    std::filesystem::create_directories(desk_.Path("data/applications"));
    std::ofstream(desk_.Path("data/applications/test-browser.desktop"))
        << "[Desktop Entry]\nType=Application\nName=Test browser\nExec=" << FAKE_BROWSER_PATH
        << " %u\nMimeType=x-scheme-handler/http;\n";
    std::ofstream(desk_.Path("config/mimeapps.list"))
        << "[Default Applications]\nx-scheme-handler/http=test-browser.desktop\n";
  }

  // The bus name of the item the watcher saw registered last.
  std::string WaitForItem(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (desk_.CountLog("item\t") < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    std::string name;
    for (const std::string& line : desk_.ServiceLog()) {
      if (line.rfind("item\t", 0) == 0) name = line.substr(5);
    }
    return desk_.CountLog("item\t") >= count ? name : std::string();
  }

  std::string Menu(const std::string& item) {
    return DbusSend({"--dest=" + item, "/MenuBar", "com.canonical.dbusmenu.GetLayout", "int32:0",
                     "int32:-1", "array:string:"});
  }

  // The id of the menu item whose label starts with `label`, or empty.
  static std::string ItemId(const std::string& menu, const std::string& label) {
    std::smatch m;
    if (!std::regex_search(menu, m,
                           std::regex(R"(int32 ([0-9]+)\s+array \[[^\]]*string ")" + label))) {
      return {};
    }
    return m[1].str();
  }

  void Click(const std::string& item, const std::string& id) {
    DbusSend({"--dest=" + item, "/MenuBar", "com.canonical.dbusmenu.Event", "int32:" + id,
              "string:clicked", "variant:int32:0", "uint32:0"});
  }

  std::string DbusSend(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/dbus-send", "--session", "--print-reply"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = zelmic_test::RunProgram(argv, 10);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
  }

  DesktopSession desk_;
};

TEST_F(PlumetTray, PanelSeesTooltipActivatesWebSiteAndExitsFromTheMenu) {
  const pid_t resident = desk_.Start({PlumetPath()});
  std::string item = WaitForItem(1);
  ASSERT_FALSE(item.empty()) << ReadFile(desk_.Path("plumet.out"));

  const std::string tooltip =
      DbusSend({"--dest=" + item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties.Get",
                "string:org.kde.StatusNotifierItem", "string:ToolTip"});
  EXPECT_NE(tooltip.find("string \"Zelmic在线编辑插件\""), std::string::npos) << tooltip;

  DbusSend({"--dest=" + item, "/StatusNotifierItem", "org.kde.StatusNotifierItem.Activate",
            "int32:0", "int32:0"});
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (ReadFile(desk_.Path("browser.log")).find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(ReadFile(desk_.Path("browser.log")), "http://127.0.0.1:9/\n");

  // The panel restarts: the icon is registered again with the new watcher.
  desk_.StopServices();
  ASSERT_TRUE(desk_.StartServices(true));
  item = WaitForItem(2);
  ASSERT_FALSE(item.empty()) << "icon not re-added after the watcher came back";

  // Nothing is open: the exit says nothing more; clicking it ends the program in order.
  const std::string menu = Menu(item);
  const std::string exit = ItemId(menu, "退出\"");
  ASSERT_FALSE(exit.empty()) << menu;
  Click(item, exit);
  const int status = desk_.WaitExit(resident, 10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n"
                                                             << ReadFile(desk_.Path("plumet.out"));
  EXPECT_NE(access(desk_.WindowEntry().c_str(), F_OK), 0);
}

// Two files open: the menu lists each with its state, a click opens its copy again, and the exit
// says how many stay open.
TEST_F(PlumetTray, MenuListsEachFileWithItsStateAndOpensItsCopyAgain) {
  zelmic_test::ZelmicProcess zelmic;
  zelmic.AddUser("ann", {1});
  const std::string seed = desk_.Path("seed.txt");
  ASSERT_TRUE(zelmic_test::WriteFile(seed, "first line\n"));
  for (const char* remote : {"/docs/a.txt", "/docs/b.txt"}) zelmic.Put(1, seed, remote);
  ASSERT_TRUE(zelmic.Start());
  setenv("PLUMET_API_HOST", zelmic.api_host().c_str(), 1);
  setenv("PLUMET_TOKEN_HOST", zelmic.token_host().c_str(), 1);
  setenv("PLUMET_TEST_EDITOR_LOG", desk_.Path("editor.log").c_str(), 1);
  std::ofstream(desk_.Path("data/applications/test-editor.desktop"))
      << "[Desktop Entry]\nType=Application\nName=Test editor\nExec=" << SCRIPTED_EDITOR_PATH
      << " %f\nMimeType=text/plain;\n";
  std::ofstream(desk_.Path("config/mimeapps.list"), std::ios::app)
      << "text/plain=test-editor.desktop\n";

  desk_.Start({PlumetPath()});
  const std::string item = WaitForItem(1);
  ASSERT_FALSE(item.empty()) << ReadFile(desk_.Path("plumet.out"));
  for (const char* remote : {"/docs/a.txt", "/docs/b.txt"}) {
    EXPECT_EQ(desk_.WaitExit(desk_.Start({PlumetPath(), zelmic.Link(1, remote, "ann")}), 5s), 0);
  }
  // Each is edited once and stored; then both stay open in their editor.
  const std::string stored = "（已于[0-9]{2}:[0-9]{2}上传）";
  std::string menu;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  do {
    std::this_thread::sleep_for(100ms);
    menu = Menu(item);
  } while ((ItemId(menu, "/docs/a.txt" + stored).empty() ||
            ItemId(menu, "/docs/b.txt" + stored).empty()) &&
           std::chrono::steady_clock::now() < deadline);
  const std::string first = ItemId(menu, "/docs/a.txt" + stored);
  ASSERT_FALSE(first.empty()) << menu << ReadFile(desk_.Path("plumet.out"));
  EXPECT_FALSE(ItemId(menu, "/docs/b.txt" + stored).empty()) << menu;
  EXPECT_FALSE(ItemId(menu, "打开临时文件夹").empty()) << menu;
  EXPECT_FALSE(ItemId(menu, "退出（2个文件仍在编辑）").empty()) << menu;
  const std::string tooltip =
      DbusSend({"--dest=" + item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties.Get",
                "string:org.kde.StatusNotifierItem", "string:ToolTip"});
  EXPECT_NE(tooltip.find("2个文件正在编辑"), std::string::npos) << tooltip;

  Click(item, first);
  const auto reopened = std::chrono::steady_clock::now() + 10s;
  const auto opens = [&] {
    const std::string log = ReadFile(desk_.Path("editor.log"));
    size_t count = 0;
    for (size_t at = log.find("a.txt\n"); at != std::string::npos; at = log.find("a.txt\n", at + 1))
      ++count;
    return count;
  };
  while (opens() < 2 && std::chrono::steady_clock::now() < reopened) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(opens(), 2u) << ReadFile(desk_.Path("editor.log"));
}

// Copies an earlier run could not send: the notice offers their folder, and so does the menu.
TEST_F(PlumetTray, KeptCopiesAreOpenedFromTheNoticeAndFromTheMenu) {
  const std::string store = desk_.Path("state/plumet/unsent");
  std::filesystem::create_directories(store);
  ASSERT_TRUE(zelmic_test::WriteFile(store + "/notes.txt", "unsent\n"));
  std::ofstream(desk_.Path("data/applications/test-files.desktop"))
      << "[Desktop Entry]\nType=Application\nName=Test files\nExec=" << FAKE_BROWSER_PATH
      << " %u\nMimeType=inode/directory;\n";
  std::ofstream(desk_.Path("config/mimeapps.list"), std::ios::app)
      << "inode/directory=test-files.desktop\n";
  desk_.StopServices();
  setenv("PLUMET_TEST_CHOOSE_ACTIONS", "1", 1);  // the services "click" each offered action
  ASSERT_TRUE(desk_.StartServices(true));
  unsetenv("PLUMET_TEST_CHOOSE_ACTIONS");

  desk_.Start({PlumetPath()});
  const std::string item = WaitForItem(1);
  ASSERT_FALSE(item.empty()) << ReadFile(desk_.Path("plumet.out"));
  EXPECT_TRUE(desk_.WaitForLog({"notify", store, "\t0\t打开文件夹"}, 10s));
  const auto opened = [&](size_t times) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::string log;
    do {
      log = ReadFile(desk_.Path("browser.log"));
      if (std::count(log.begin(), log.end(), '\n') >= static_cast<long>(times)) break;
      std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return log;
  };
  EXPECT_EQ(opened(1).rfind(store, 0), 0u) << opened(1);

  const std::string entry = ItemId(Menu(item), "打开未上传的副本");
  ASSERT_FALSE(entry.empty()) << Menu(item);
  Click(item, entry);
  const std::string twice = opened(2);
  EXPECT_NE(twice.find(store, twice.find('\n')), std::string::npos) << twice;
}

}  // namespace
