// Opening a copy in its default application through the real XDG associations (private folders):
// content that runs code is refused whatever its name says, scripts and text are opened, and the
// application the user's mimeapps.list names is the one started.
#include "platform/shell_open.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/scratch_dir.h"

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class ShellOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_DATA_HOME", (home_ / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
    setenv("PLUMET_TEST_EDITOR_LOG", (home_ / "editor.log").c_str(), 1);
    setenv("PLUMET_TEST_EDITOR", "append", 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");  // no portal to fall back on
    std::filesystem::create_directories(home_ / "data/applications");
    std::filesystem::create_directories(home_ / "config");
    std::ofstream(home_ / "data/applications/test-editor.desktop")
        << "[Desktop Entry]\nType=Application\nName=Test editor\nExec=" << SCRIPTED_EDITOR_PATH
        << " %f\nMimeType=text/plain;\n";
    std::ofstream(home_ / "config/mimeapps.list")
        << "[Default Applications]\ntext/plain=test-editor.desktop\n";
  }

  std::string Make(const std::string& name, const std::string& content) {
    const std::string path = home_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  plumet_test::ScratchDir home_{"plumet-shell"};
};

TEST_F(ShellOpen, ContentThatRunsCodeIsRefusedWhateverItsName) {
  const std::string elf = Slurp("/bin/true");
  const struct {
    const char* name;
    std::string content;
    bool runs;
  } cases[] = {
      {"program.txt", elf, true},  // a native executable posing as text
      {"libthing.so", elf, true},
      {"launcher.desktop", "[Desktop Entry]\nType=Application\nExec=sh -c id\n", true},
      {"setup.exe", "MZ\x90" + std::string(200, '\0') + "This program cannot be run in DOS mode",
       true},
      {"installer.msi", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(504, '\0'),
       true},
      {"tool.jar", std::string("PK\x03\x04", 4) + std::string(26, '\0') + "META-INF/MANIFEST.MF",
       true},
      {"notes.txt", "just some notes\n", false},
      {"build.sh", "#!/bin/sh\necho hello\n", false},  // scripts stay editable
      {"main.py", "print('hello')\n", false},
      {"page.html", "<html><body>hi</body></html>\n", false},
  };
  for (const auto& c : cases) {
    const std::string path = Make(c.name, c.content);
    EXPECT_EQ(platform::RunsCode(path), c.runs)
        << c.name << " (" << platform::ContentTypeOf(path) << ")";
    if (c.runs) {
      EXPECT_EQ(platform::OpenInDefaultApplication(path), platform::OpenOutcome::kRefused)
          << c.name;
    }
  }
}

// GIO reads the XDG folders once per process, so this is the only test here that starts one.
// The editor talks on stdout and stderr as real ones do: none of it may reach plumet's log.
TEST_F(ShellOpen, TheUsersDefaultApplicationOpensTheCopyWithItsOwnOutput) {
  setenv("PLUMET_TEST_EDITOR", "noisy", 1);
  const std::string path = Make("report.txt", "first line\n");
  // Ours for as long as the editor runs: whatever it inherited would land here.
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const platform::OpenOutcome outcome = platform::OpenInDefaultApplication(path);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (outcome == platform::OpenOutcome::kOpened &&
         Slurp(home_ / "editor.log").find("saved") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string ours =
      testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
  ASSERT_EQ(outcome, platform::OpenOutcome::kOpened) << ours;
  EXPECT_EQ(Slurp(home_ / "editor.log"), "started " + path + "\nsaved\n");
  EXPECT_EQ(Slurp(path), "first line\nedited by the editor\n");
  EXPECT_EQ(ours.find("scripted editor says"), std::string::npos) << ours;
  EXPECT_EQ(platform::OpenInDefaultApplication(home_ / "missing.txt"),
            platform::OpenOutcome::kFailed);
}

}  // namespace
