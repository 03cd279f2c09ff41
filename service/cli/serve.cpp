#include "service/cli/serve.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/endpoints.h"
#include "service/http/api_server.h"
#include "service/http/faults.h"
#include "service/http/http_util.h"
#include "service/http/token_server.h"
#include "service/store/data_dir_guard.h"
#include "service/store/purge_timer.h"
#include "service/store/space_reserve.h"
#include "service/store/store.h"
#include "service/upload/upload_server.h"
#include "service/web/web_server.h"

namespace zelmic {

namespace {

Status WriteReadyFile(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << text;
    if (!out) return Status::Error("cannot write " + tmp);
  }
  if (rename(tmp.c_str(), path.c_str()) != 0) return Status::Error("cannot rename " + tmp);
  return Status::OK();
}

// Staged uploads do not outlive the process that received them (upload sessions are kept in
// memory), so what a crash left behind is removed. A file being written by a live owner (a
// concurrent `zelmicd put`) is locked by it and stays.
void SweepStaging(const std::string& dir) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::error_code entry_ec;
    if (!entry.is_regular_file(entry_ec)) continue;
    const int fd = open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) std::filesystem::remove(entry.path(), entry_ec);
    close(fd);
  }
}

Status ReadPem(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  if (!in || text.empty()) return Status::Error("cannot read " + path);
  return Status::OK();
}

// Says why the service does not start; the exit status of that.
int Die(const std::string& what) {
  fprintf(stderr, "zelmicd: %s\n", what.c_str());
  return 1;
}

// What every listener shares: how many connections it takes, and its certificate under TLS.
Status ApplyListenerSettings(const Options& options) {
  ListenerSettings listeners;
  RaiseDescriptorLimit();
  listeners.connection_limit = options.max_connections;
  listeners.per_peer_limit = options.max_per_peer;
  if (!options.listen.empty()) listeners.address = options.listen;
  if (!options.tls_cert.empty()) {
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
      return Status::Error("this libmicrohttpd was built without TLS");
    }
    Status read = ReadPem(options.tls_cert, listeners.tls_cert);
    if (read.ok()) read = ReadPem(options.tls_key, listeners.tls_key);
    if (!read.ok()) return read;
  }
  SetListenerSettings(listeners);
  return Status::OK();
}

// Blocks the signals that stop the service and returns them. The listeners' threads inherit
// this mask, so the signals reach only the sigwait of the main thread.
sigset_t BlockStopSignals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // A file that reaches the size limit fails its write (EFBIG) instead of ending the process.
  signal(SIGXFSZ, SIG_IGN);
  return stop_signals;
}

// Clients may reach the listeners through a front (TLS, another name): the links name it.
// By default they name the address listened on; every address (0.0.0.0) names none, so the links
// say loopback unless --web-url and --upload-url name the way in.
ServiceUrls UrlsFor(const Options& options, bool tls, uint16_t web_port, uint16_t upload_port) {
  const std::string host =
      options.listen.empty() || options.listen == "0.0.0.0" ? "127.0.0.1" : options.listen;
  const std::string scheme = (tls ? "https://" : "http://") + host + ":";
  const std::string web_base =
      !options.web_url.empty() ? options.web_url : scheme + std::to_string(web_port);
  const std::string upload_base =
      !options.upload_url.empty() ? options.upload_url : scheme + std::to_string(upload_port);
  return ServiceUrls{web_base + "/download/", web_base + "/s/", upload_base};
}

// The API listener starts last: its answers name the bound ports of the web and upload ones.
Status StartListeners(const Options& options, bool tls, TokenServer& token, WebServer& web,
                      UploadServer& upload, ApiServer& api) {
  if (Status s = token.Start(options.token_port); !s.ok())
    return Status::Error("token listener: " + s.message());
  if (Status s = web.Start(options.web_port); !s.ok())
    return Status::Error("web listener: " + s.message());
  if (Status s = upload.Start(options.upload_port); !s.ok())
    return Status::Error("upload listener: " + s.message());
  api.set_urls(UrlsFor(options, tls, web.port(), upload.port()));
  if (Status s = api.Start(options.api_port); !s.ok())
    return Status::Error("API listener: " + s.message());
  return Status::OK();
}

// What a script that starts the service waits for: the bound ports and the process.
std::string ReadyText(uint16_t api, uint16_t token, uint16_t upload, uint16_t web) {
  return "{\"api\":" + std::to_string(api) + ",\"token\":" + std::to_string(token) +
         ",\"upload\":" + std::to_string(upload) + ",\"web\":" + std::to_string(web) +
         ",\"pid\":" + std::to_string(getpid()) + "}\n";
}

// Under the serve lock: blobs older than this process that nothing refers to were left by a crash
// between placing a blob and committing its row; and the space kept back for deletes.
void ReclaimSpace(const Store& store, int64_t start_time) {
  int orphans = 0;
  if (Status swept = store.space().SweepOrphans(start_time, orphans); !swept.ok())
    fprintf(stderr, "zelmicd: %s\n", swept.message().c_str());
  if (orphans > 0) fprintf(stderr, "zelmicd: removed %d unreferenced blob(s)\n", orphans);
  if (!KeepSpaceReserve(store.dir()))
    fprintf(stderr, "zelmicd: no room to keep space back for deletes on a full disk\n");
}

}  // namespace

int Serve(const Options& options) {
  // Blobs older than this that nothing refers to are left over (see ReclaimSpace).
  const int64_t start_time = static_cast<int64_t>(time(nullptr));
  // A folder another account could write to or swap is never served, nor repaired.
  if (Status unsafe = CheckDataDirOwnership(options.dir); !unsafe.ok())
    return Die(unsafe.message());
  std::unique_ptr<Store> store;
  if (Status opened = Store::Open(options.dir, store); !opened.ok()) return Die(opened.message());
  // A data dir made by an older zelmicd was readable by every local account.
  if (Status tightened = TightenDataDir(options.dir); !tightened.ok())
    return Die(tightened.message());
  // Before the sweep: what a running server has staged is not left over from a crash.
  ServeLock serving;
  if (Status locked = serving.Acquire(options.dir); !locked.ok()) return Die(locked.message());
  SweepStaging(store->staging_dir());

  const bool tls = !options.tls_cert.empty();
  if (Status set = ApplyListenerSettings(options); !set.ok()) return Die(set.message());
  TokenPolicy policy;
  policy.access_ttl = options.token_ttl;
  store->set_policy(policy);

  const sigset_t stop_signals = BlockStopSignals();
  // After the signals are set: a file size limit fails the reserve instead of ending the process.
  ReclaimSpace(*store, start_time);

  FaultScript faults;
  // Declared before the listeners, so it outlives them.
  ChecksumKeeper keeper(store->dir());
  TokenServer token(*store, faults, plumet_defaults::kClientId, plumet_defaults::kClientSecret);
  WebServer web(*store, faults, WebOptions{options.faults, tls, OriginOf(options.web_url)}, keeper);
  UploadServer upload(*store, faults, keeper);
  ApiServer api(*store, faults, options.secret);
  if (Status started = StartListeners(options, tls, token, web, upload, api); !started.ok())
    return Die(started.message());

  if (!options.ready_file.empty()) {
    const std::string ready = ReadyText(api.port(), token.port(), upload.port(), web.port());
    if (Status s = WriteReadyFile(options.ready_file, ready); !s.ok()) return Die(s.message());
  }
  fprintf(stderr, "zelmicd: serving %s (api %u, token %u, upload %u, web %u)\n",
          options.dir.c_str(), api.port(), token.port(), upload.port(), web.port());

  PurgeTimer purge(store->space());
  purge.Start(PurgeSchedule{static_cast<int64_t>(options.keep_days) * 86400});

  int sig = 0;
  sigwait(&stop_signals, &sig);
  purge.Stop();
  api.Stop();
  upload.Stop();
  web.Stop();
  token.Stop();
  return 0;
}

}  // namespace zelmic
