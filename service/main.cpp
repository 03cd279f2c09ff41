// zelmicd: the cloud file service on loopback. See options.cpp for the subcommands.
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "common/progress_line.h"
#include "platform/terminal.h"
#include "service/launch_url.h"
#include "service/options.h"
#include "service/paths.h"
#include "service/serve.h"
#include "service/store.h"

namespace {

int Die(const std::string& message) {
  fprintf(stderr, "zelmicd: %s\n", message.c_str());
  return 1;
}

int Run(const zelmic::Options& o) {
  using zelmic::Store;
  std::string error;
  if (o.command == "init") {
    if (!Store::Create(o.dir, error)) return Die(error);
    return 0;
  }
  if (o.command == "serve") return zelmic::Serve(o);
  std::unique_ptr<Store> store = Store::Open(o.dir, error);
  if (!store) return Die(error);
  if (o.command == "add-user") {
    std::string refresh;
    if (!store->AddUser(o.args[0], o.mounts, refresh, error)) return Die(error);
    printf("%s\n", refresh.c_str());
    return 0;
  }
  int64_t user_id = 0;
  if (!o.user.empty()) {
    auto id = store->FindUser(o.user);
    if (!id) return Die("no user named \"" + o.user + "\"");
    user_id = *id;
  }
  const int mount = o.mounts[0];
  const std::string& remote = o.command == "put" ? o.args[1] : o.args[0];
  std::string path;
  if (!zelmic::NormalisePath(remote, path, error)) return Die("bad remote path: " + error);
  if (path == "/") return Die("the remote path must name a file");
  if (o.command == "put") {
    int version = 0;
    std::function<void(uint64_t, uint64_t)> progress;
    std::optional<plumet_text::ProgressLine> line;
    if (o.progress) {
      line.emplace(stderr, platform::IsTerminal(stderr), "zelmicd: put " + path);
      progress = [&line](uint64_t done, uint64_t total) { line->Update(done, total); };
    }
    zelmic::ApiError e = store->PutLocalFile(user_id, mount, path, o.args[0], "zelmicd", version, progress);
    if (line) line->Finish();
    if (e) return Die(e.msg);
    return 0;
  }
  // link
  if (!store->GetFile(mount, path)) return Die("no file " + path + " in mount " + std::to_string(mount));
  std::string token;
  if (zelmic::ApiError e = store->MintLinkToken(user_id, mount, path, token)) return Die(e.msg);
  printf("%s\n", zelmic::MakeLaunchUrl(mount, path, token).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    fputs(zelmic::kUsage, stdout);
    return 0;
  }
  std::string error;
  auto options = zelmic::ParseOptions(argc, argv, error);
  if (!options) {
    fprintf(stderr, "zelmicd: %s\n%s", error.c_str(), zelmic::kUsage);
    return 2;
  }
  return Run(*options);
}
