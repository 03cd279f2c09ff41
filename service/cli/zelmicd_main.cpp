// zelmicd: the cloud file service on loopback. See options.cpp for the subcommands.
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "common/progress_line.h"
#include "platform/terminal.h"
#include "service/cli/options.h"
#include "service/cli/serve.h"
#include "service/store/data_dir_guard.h"
#include "service/store/password.h"
#include "service/store/paths.h"
#include "service/store/store.h"
#include "service/web/launch_url.h"

namespace {

int Die(const std::string& message) {
  fprintf(stderr, "zelmicd: %s\n", message.c_str());
  return 1;
}

// One line from fd 0 with the terminal's echo off; false at the end of input.
bool ReadHiddenLine(const char* prompt, std::string& line) {
  termios saved{};
  const bool terminal = tcgetattr(0, &saved) == 0;
  if (terminal) {
    // Before the prompt: what was typed ahead of it is dropped, what answers it is kept.
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(0, TCSAFLUSH, &quiet);
  }
  fputs(prompt, stderr);
  fflush(stderr);
  line.clear();
  char c = 0;
  bool got = false;
  while (read(0, &c, 1) == 1) {
    got = true;
    if (c == '\n') break;
    if (line.size() <= zelmic::kMaxPasswordLength) line += c;
  }
  if (terminal) tcsetattr(0, TCSANOW, &saved);
  fputs("\n", stderr);
  return got;
}

// The web login password of add-user: the first line of --password-file, or asked twice when
// standard input is a terminal; none otherwise (the user then works with the API only).
zelmic::Status PasswordFor(const zelmic::Options& o, std::optional<std::string>& password) {
  using zelmic::Status;
  if (!o.password_file.empty()) {
    std::ifstream in(o.password_file, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) {
      return Status::Error("cannot read a password from " + o.password_file);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    password = line;
    return Status::OK();
  }
  if (!isatty(0)) return Status::OK();
  std::string first, second;
  if (!ReadHiddenLine("Password for the web page: ", first) ||
      !ReadHiddenLine("The same again: ", second)) {
    return Status::Error("no password given");
  }
  if (first != second) return Status::Error("the two passwords differ");
  password = first;
  return Status::OK();
}

// For add-user on a user who exists: one line on stderr saying what changed, so that whoever runs
// it again knows the earlier token stopped working.
void ReportChanges(const std::string& name, const zelmic::UserStore::UserChanges& changes,
                   bool password_given, bool had_password) {
  std::string line = "user " + name + " exists";
  if (!changes.mounts_added.empty()) {
    line += "; mounts added:";
    for (int m : changes.mounts_added) line += " " + std::to_string(m);
  }
  if (password_given) line += had_password ? "; password changed" : "; password set";
  line += "; " + std::to_string(changes.tokens_replaced) +
          " earlier refresh token(s) replaced by the one printed";
  fprintf(stderr, "zelmicd: %s\n", line.c_str());
}

int Run(const zelmic::Options& o) {
  using zelmic::Store;
  if (o.command == "init") {
    if (zelmic::Status made = zelmic::InitPrivateDataDir(o.dir); !made.ok())
      return Die(made.message());
    return 0;
  }
  if (o.command == "serve") return zelmic::Serve(o);
  std::unique_ptr<Store> store;
  if (zelmic::Status opened = Store::Open(o.dir, store); !opened.ok()) return Die(opened.message());
  if (o.command == "add-user") {
    std::optional<std::string> password;
    if (zelmic::Status given = PasswordFor(o, password); !given.ok()) return Die(given.message());
    // Checked before the earlier tokens are replaced, so a bad password changes nothing.
    if (password && (password->empty() || password->size() > zelmic::kMaxPasswordLength))
      return Die("the password must have 1 to " + std::to_string(zelmic::kMaxPasswordLength) +
                 " bytes");
    std::string refresh;
    zelmic::UserStore::UserChanges changes;
    if (zelmic::Status added = store->users().AddUser(o.args[0], o.mounts, refresh, &changes);
        !added.ok())
      return Die(added.message());
    bool had_password = false;
    if (password) {
      auto user_id = store->users().FindUser(o.args[0]);
      if (!user_id) return Die("cannot find the user just added: " + o.args[0]);
      had_password = store->users().HasPassword(*user_id);
      if (zelmic::Status set = store->users().SetPassword(*user_id, *password); !set.ok())
        return Die(set.message());
    }
    if (o.quota >= 0) {
      auto user_id = store->users().FindUser(o.args[0]);
      if (!user_id) return Die("cannot find the user just added: " + o.args[0]);
      if (zelmic::Status set = store->users().SetQuota(*user_id, o.quota); !set.ok())
        return Die(set.message());
    }
    if (changes.existed) ReportChanges(o.args[0], changes, password.has_value(), had_password);
    printf("%s\n", refresh.c_str());
    return 0;
  }
  if (o.command == "revoke") {
    auto user_id = store->users().FindUser(o.args[0]);
    if (!user_id) return Die("no user named \"" + o.args[0] + "\"");
    int64_t tokens = 0;
    if (zelmic::Status e = store->users().Revoke(*user_id, tokens); !e.ok())
      return Die(e.message());
    printf("revoked %lld token(s) of %s; web sessions ended\n", static_cast<long long>(tokens),
           o.args[0].c_str());
    return 0;
  }
  int64_t user_id = 0;
  if (!o.user.empty()) {
    auto id = store->users().FindUser(o.user);
    if (!id) return Die("no user named \"" + o.user + "\"");
    user_id = *id;
  }
  const int mount = o.mounts[0];
  const std::string& remote = o.command == "put" ? o.args[1] : o.args[0];
  std::string path;
  if (zelmic::Status bad = zelmic::NormalisePath(remote, path); !bad.ok())
    return Die("bad remote path: " + bad.message());
  if (path == "/") return Die("the remote path must name a file");
  if (o.command == "put") {
    int version = 0;
    std::function<void(uint64_t, uint64_t)> progress;
    std::optional<plumet_text::ProgressLine> line;
    if (o.progress) {
      line.emplace(stderr, platform::IsTerminal(stderr), "zelmicd: put " + path);
      progress = [&line](uint64_t done, uint64_t total) { line->Update(done, total); };
    }
    zelmic::Status e =
        store->files().PutLocalFile(user_id, mount, path, o.args[0], "zelmicd", version, progress);
    if (line) line->Finish();
    if (!e.ok()) return Die(e.message());
    return 0;
  }
  // link
  if (!store->files().GetFile(mount, path))
    return Die("no file " + path + " in mount " + std::to_string(mount));
  std::string token;
  if (zelmic::Status e = store->users().MintLinkToken(user_id, mount, path, token); !e.ok())
    return Die(e.message());
  printf("%s\n", zelmic::MakeLaunchUrl(mount, path, token).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The data folder holds the link secret and password digests: whatever any subcommand creates
  // in it (folders, the database and its -wal and -shm, blobs) is the owner's alone.
  umask(077);
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    fputs(zelmic::kUsage, stdout);
    return 0;
  }
  zelmic::Options options;
  if (zelmic::Status parsed = zelmic::ParseOptions(argc, argv, options); !parsed.ok()) {
    fprintf(stderr, "zelmicd: %s\n%s", parsed.message().c_str(), zelmic::kUsage);
    return 2;
  }
  return Run(options);
}
