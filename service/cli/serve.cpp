#include "service/cli/serve.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "common/endpoints.h"
#include "service/http/api_server.h"
#include "service/http/faults.h"
#include "service/http/http_util.h"
#include "service/http/token_server.h"
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

}  // namespace

int Serve(const Options& options) {
  std::unique_ptr<Store> store;
  if (Status opened = Store::Open(options.dir, store); !opened.ok()) {
    fprintf(stderr, "zelmicd: %s\n", opened.message().c_str());
    return 1;
  }
  SweepStaging(store->staging_dir());

  ListenerSettings listeners;
  RaiseDescriptorLimit();
  listeners.connection_limit = options.max_connections;
  const bool tls = !options.tls_cert.empty();
  if (tls) {
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
      fprintf(stderr, "zelmicd: this libmicrohttpd was built without TLS\n");
      return 1;
    }
    Status read = ReadPem(options.tls_cert, listeners.tls_cert);
    if (read.ok()) read = ReadPem(options.tls_key, listeners.tls_key);
    if (!read.ok()) {
      fprintf(stderr, "zelmicd: %s\n", read.message().c_str());
      return 1;
    }
  }
  SetListenerSettings(listeners);
  TokenPolicy policy;
  policy.access_ttl = options.token_ttl;
  store->set_policy(policy);

  // The listeners' threads inherit this mask, so the signals reach only sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // A file that reaches the size limit fails its write (EFBIG) instead of ending the process.
  signal(SIGXFSZ, SIG_IGN);

  FaultScript faults;
  // Declared before the listeners, so it outlives them.
  ChecksumKeeper keeper(store->dir());
  TokenServer token(*store, faults, plumet_defaults::kClientId, plumet_defaults::kClientSecret);
  WebServer web(*store, faults, WebOptions{options.faults, tls}, keeper);
  UploadServer upload(*store, faults, keeper);
  ApiServer api(*store, faults, options.secret);
  auto fail = [&](const std::string& what) {
    fprintf(stderr, "zelmicd: %s\n", what.c_str());
    return 1;
  };
  if (Status s = token.Start(options.token_port); !s.ok())
    return fail("token listener: " + s.message());
  if (Status s = web.Start(options.web_port); !s.ok()) return fail("web listener: " + s.message());
  if (Status s = upload.Start(options.upload_port); !s.ok())
    return fail("upload listener: " + s.message());
  // Clients may reach the listeners through a front (TLS, another name): the links name it.
  const std::string scheme = tls ? "https://" : "http://";
  const std::string web_base = !options.web_url.empty()
                                   ? options.web_url
                                   : scheme + "127.0.0.1:" + std::to_string(web.port());
  const std::string upload_base = !options.upload_url.empty()
                                      ? options.upload_url
                                      : scheme + "127.0.0.1:" + std::to_string(upload.port());
  ServiceUrls urls{web_base + "/download/", web_base + "/s/", upload_base};
  api.set_urls(urls);
  if (Status s = api.Start(options.api_port); !s.ok()) return fail("API listener: " + s.message());

  if (!options.ready_file.empty()) {
    const std::string ready =
        "{\"api\":" + std::to_string(api.port()) + ",\"token\":" + std::to_string(token.port()) +
        ",\"upload\":" + std::to_string(upload.port()) + ",\"web\":" + std::to_string(web.port()) +
        ",\"pid\":" + std::to_string(getpid()) + "}\n";
    if (Status s = WriteReadyFile(options.ready_file, ready); !s.ok()) return fail(s.message());
  }
  fprintf(stderr, "zelmicd: serving %s (api %u, token %u, upload %u, web %u)\n",
          options.dir.c_str(), api.port(), token.port(), upload.port(), web.port());

  int sig = 0;
  sigwait(&stop_signals, &sig);
  api.Stop();
  upload.Stop();
  web.Stop();
  token.Stop();
  return 0;
}

}  // namespace zelmic
