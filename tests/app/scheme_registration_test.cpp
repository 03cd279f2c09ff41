// The user's mimeapps.list: only our key changes; the desktop entry's Exec line survives any path.
#include "platform/scheme_registration.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/hosts.h"
#include "app/scheme_entry.h"
#include "tests/support/scratch_dir.h"

namespace {

const char kKey[] = "x-scheme-handler/plumet";
const char kValue[] = "plumet.desktop";

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct EditCase {
  const char* name;
  const char* before;
  const char* after;
};

TEST(MimeappsEdit, ChangesOnlyOurKey) {
  const EditCase cases[] = {
      {"empty file", "", "[Default Applications]\nx-scheme-handler/plumet=plumet.desktop\n"},
      {"other section and comments kept, section appended",
       "# mine\n[Added Associations]\ntext/plain=gedit.desktop;\n",
       "# mine\n[Added Associations]\ntext/plain=gedit.desktop;\n\n[Default Applications]\n"
       "x-scheme-handler/plumet=plumet.desktop\n"},
      {"key added at the end of the section, before the next one",
       "[Default Applications]\ntext/html=firefox.desktop\n\n# later\n[Removed Associations]\n"
       "x-scheme-handler/plumet=old.desktop\n",
       "[Default Applications]\ntext/html=firefox.desktop\nx-scheme-handler/plumet=plumet.desktop\n"
       "\n# later\n[Removed Associations]\nx-scheme-handler/plumet=old.desktop\n"},
      {"stale value replaced in place, repeats dropped, no final newline kept",
       "[Default Applications]\nx-scheme-handler/plumet = other.desktop\n# keep\n"
       "x-scheme-handler/plumet=third.desktop\ntext/plain=vim.desktop",
       "[Default Applications]\nx-scheme-handler/plumet=plumet.desktop\n# keep\n"
       "text/plain=vim.desktop"},
      {"already right: unchanged",
       "[Default Applications]\nx-scheme-handler/plumet=plumet.desktop\n",
       "[Default Applications]\nx-scheme-handler/plumet=plumet.desktop\n"},
      {"a commented-out key is a comment",
       "[Default Applications]\n#x-scheme-handler/plumet=x.desktop\n",
       "[Default Applications]\nx-scheme-handler/plumet=plumet.desktop\n"
       "#x-scheme-handler/plumet=x.desktop\n"},
      {"CRLF file stays CRLF", "[Default Applications]\r\ntext/html=a.desktop\r\n",
       "[Default "
       "Applications]\r\ntext/html=a.desktop\r\nx-scheme-handler/plumet=plumet.desktop\r\n"},
  };
  for (const EditCase& c : cases) {
    EXPECT_EQ(platform::SetDefaultApplication(c.before, kKey, kValue), c.after) << c.name;
  }
}

TEST(MimeappsEdit, RegistrationWritesThroughSymlinkAndKeepsTheRest) {
  plumet_test::ScratchDir home{"plumet-shell"};
  const std::string config = home / "config", data = home / "data", dotfiles = home / "dotfiles";
  ASSERT_EQ(mkdir(config.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dotfiles.c_str(), 0700), 0);
  const std::string target = dotfiles + "/mimeapps.list";
  Write(target, "# managed by my dotfiles\n[Default Applications]\ntext/plain=vim.desktop\n");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(symlink("../dotfiles/mimeapps.list", (config + "/mimeapps.list").c_str()), 0);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  setenv("XDG_DATA_HOME", data.c_str(), 1);

  const std::string entry = plumet::DesktopEntryFor("/opt/my apps/plumet");
  ASSERT_TRUE(platform::RegisterUrlScheme("plumet", "plumet.desktop", entry));

  struct stat st {};
  ASSERT_EQ(lstat((config + "/mimeapps.list").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link itself must stay";
  EXPECT_EQ(Read(target),
            "# managed by my dotfiles\n[Default Applications]\ntext/plain=vim.desktop\n"
            "x-scheme-handler/plumet=plumet.desktop\n");
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  const std::string written = Read(data + "/applications/plumet.desktop");
  EXPECT_EQ(written, entry);
  EXPECT_NE(written.find("Exec=\"/opt/my apps/plumet\" %u\n"), std::string::npos) << written;
  EXPECT_NE(written.find("MimeType=x-scheme-handler/plumet;\n"), std::string::npos);
  EXPECT_NE(written.find("NoDisplay=true\n"), std::string::npos);

  // The desktop database tools accept what we wrote.
  const std::string validate = "desktop-file-validate '" + data + "/applications/plumet.desktop'";
  EXPECT_EQ(std::system(validate.c_str()), 0);

  // A second start leaves both files alone (no rewrite: same inode).
  struct stat before {
  }, after{};
  ASSERT_EQ(stat(target.c_str(), &before), 0);
  ASSERT_TRUE(platform::RegisterUrlScheme("plumet", "plumet.desktop", entry));
  ASSERT_EQ(stat(target.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(DesktopExecLine, QuotesAndEscapesThePathWhenItMustBe) {
  const struct {
    const char* path;
    const char* exec;
  } cases[] = {
      {"/usr/bin/plumet", "/usr/bin/plumet %u"},
      {"/opt/100%/plumet", "/opt/100%%/plumet %u"},
      {"/a b/plumet", "\"/a b/plumet\" %u"},
      {"/a\"b/$x`y/50%/p", "\"/a\\\\\"b/\\\\$x\\\\`y/50%%/p\" %u"},
      {"/back\\slash/p", "\"/back\\\\\\\\slash/p\" %u"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::DesktopExecLine(c.path), c.exec) << c.path;
}

}  // namespace

namespace {

TEST(Hosts, EnvironmentOverridesAcceptHostsAndUrls) {
  const struct {
    const char* given;
    const char* api;
    const char* web;
  } cases[] = {
      {"", "127.0.0.1:47810", "http://127.0.0.1:47813/"},
      {"10.0.0.5:8080", "10.0.0.5:8080", "http://10.0.0.5:8080/"},
      {"https://files.example:8443/api/", "https://files.example:8443",
       "https://files.example:8443/api/"},
      {"http://127.0.0.1:9", "http://127.0.0.1:9", "http://127.0.0.1:9"},
  };
  for (const auto& c : cases) {
    setenv("PLUMET_API_HOST", c.given, 1);
    setenv("PLUMET_WEB_HOST", c.given, 1);
    EXPECT_EQ(plumet::ApiHost(), c.api) << c.given;
    EXPECT_EQ(plumet::WebSiteUrl(), c.web) << c.given;
  }
  unsetenv("PLUMET_API_HOST");
  unsetenv("PLUMET_WEB_HOST");
}

}  // namespace

namespace {

// Runs RegisterUrlScheme in a child that cannot read what the parent can (as root: as "nobody",
// in folders handed to it); returns the child's stderr and its result.
std::string RegisterInChild(const std::string& home, bool* registered) {
  int err[2];
  if (pipe(err) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    dup2(err[1], STDERR_FILENO);
    close(err[0]);
    if (geteuid() == 0) {
      const uid_t nobody = 65534;
      for (const char* sub : {"", "/config", "/data"}) {
        if (chown((home + sub).c_str(), nobody, nobody) != 0) _exit(3);
      }
      if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
          setresuid(nobody, nobody, nobody) != 0) {
        _exit(3);
      }
    }
    _exit(platform::RegisterUrlScheme("plumet", "plumet.desktop", "[Desktop Entry]\n") ? 0 : 1);
  }
  close(err[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(err[0]);
  int status = -1;
  waitpid(child, &status, 0);
  *registered = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << status;
  return text;
}

TEST(MimeappsEdit, UnreadableFileIsLeftAloneAndNothingIsRegistered) {
  const std::string mine =
      "[Default Applications]\ntext/html=firefox.desktop\nx-scheme-handler/mailto=mutt.desktop\n";
  const struct {
    const char* name;
    void (*make)(const std::string& list, const std::string& content);
  } cases[] = {
      {"no read permission (EACCES)",
       [](const std::string& list, const std::string& content) {
         Write(list, content);
         chmod(list.c_str(), 0);
       }},
      {"a symlink loop (ELOOP)",
       [](const std::string& list, const std::string&) { symlink("mimeapps.list", list.c_str()); }},
  };
  for (const auto& c : cases) {
    plumet_test::ScratchDir home{"plumet-shell"};
    const std::string config = home / "config", data = home / "data";
    ASSERT_EQ(mkdir(config.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(data.c_str(), 0700), 0);
    const std::string list = config + "/mimeapps.list";
    c.make(list, mine);
    char link[64] = {};
    const ssize_t linked = readlink(list.c_str(), link, sizeof link - 1);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("XDG_DATA_HOME", data.c_str(), 1);

    bool registered = true;
    const std::string said = RegisterInChild(home.path(), &registered);
    EXPECT_FALSE(registered) << c.name;
    if (linked < 0) {
      chmod(list.c_str(), 0600);
      EXPECT_EQ(Read(list), mine) << c.name;
    } else {
      EXPECT_EQ(std::string(link), "mimeapps.list") << c.name;
    }
    EXPECT_NE(access((data + "/applications/plumet.desktop").c_str(), F_OK), 0) << c.name;
    // Said once, naming the file.
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << c.name << ": " << said;
    EXPECT_NE(said.find(list), std::string::npos) << c.name << ": " << said;
  }
}

}  // namespace
