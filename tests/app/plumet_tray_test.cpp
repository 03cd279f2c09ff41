// The tray icon as a desktop sees it: `plumet` on X (Xvfb) with a StatusNotifierWatcher on its
// private session bus, read and driven over D-Bus the way a panel does: the tooltip, activation
// opening the web site in the default browser, the icon coming back after the watcher restarts,
// and the menu's one command "退出" ending the program in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

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
  ASSERT_FALSE(item.empty()) << Slurp(desk_.Path("plumet.out"));

  const std::string tooltip =
      DbusSend({"--dest=" + item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties.Get",
                "string:org.kde.StatusNotifierItem", "string:ToolTip"});
  EXPECT_NE(tooltip.find("string \"Zelmic在线编辑插件\""), std::string::npos) << tooltip;

  DbusSend({"--dest=" + item, "/StatusNotifierItem", "org.kde.StatusNotifierItem.Activate",
            "int32:0", "int32:0"});
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (Slurp(desk_.Path("browser.log")).find('\n') == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(Slurp(desk_.Path("browser.log")), "http://127.0.0.1:9/\n");

  // The panel restarts: the icon is registered again with the new watcher.
  desk_.StopServices();
  ASSERT_TRUE(desk_.StartServices(true));
  item = WaitForItem(2);
  ASSERT_FALSE(item.empty()) << "icon not re-added after the watcher came back";

  // The menu offers one command; clicking it ends the program in order.
  const std::string menu =
      DbusSend({"--dest=" + item, "/MenuBar", "com.canonical.dbusmenu.GetLayout", "int32:0",
                "int32:-1", "array:string:"});
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(menu, m, std::regex(R"(int32 ([0-9]+)\s+array \[[^\]]*string "退出")")))
      << menu;
  EXPECT_EQ(menu.find("string \"label\""), menu.rfind("string \"label\""))
      << "one item only: " << menu;
  DbusSend({"--dest=" + item, "/MenuBar", "com.canonical.dbusmenu.Event", "int32:" + m[1].str(),
            "string:clicked", "variant:int32:0", "uint32:0"});
  const int status = desk_.WaitExit(resident, 10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n"
                                                             << Slurp(desk_.Path("plumet.out"));
  EXPECT_NE(access(desk_.WindowEntry().c_str(), F_OK), 0);
}

}  // namespace
