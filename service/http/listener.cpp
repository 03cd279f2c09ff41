#include "service/http/listener.h"

#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "service/http/framing_guard.h"
#include "service/http/peer_limit.h"

namespace zelmic {

namespace {
ListenerSettings g_settings;

// What a listener's callbacks use, kept until its daemon has stopped.
struct Companions {
  Companions(MHD_AccessHandlerCallback handler, void* cls) : guard(handler, cls) {}
  FramingGuard guard;
  std::shared_ptr<PeerLimit> peers;
};
}  // namespace

const char* const kTlsPriorities =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+CHACHA20-POLY1305:+AES-256-GCM:"
    "+AES-128-GCM:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:%SERVER_PRECEDENCE";

void SetListenerSettings(const ListenerSettings& settings) { g_settings = settings; }

bool ListenersUseTls() { return !g_settings.tls_cert.empty(); }

uint64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
}

unsigned DefaultConnectionLimit() {
  rlimit limit{};
  uint64_t descriptors = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
    descriptors = limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
  constexpr uint64_t kReserve = 128;
  const uint64_t share = descriptors > 2 * kReserve ? (descriptors - kReserve) / 4 : 64;
  return static_cast<unsigned>(std::min<uint64_t>(share, 8192));
}

Status StartListener(uint16_t port, MHD_AccessHandlerCallback handler, void* cls,
                     std::vector<MHD_OptionItem> options, unsigned idle_timeout_s, unsigned threads,
                     MhdDaemon& daemon) {
  const ListenerSettings& settings = g_settings;
  const unsigned limit =
      settings.connection_limit != 0 ? settings.connection_limit : DefaultConnectionLimit();
  const unsigned timeout = idle_timeout_s != 0 ? idle_timeout_s : settings.idle_timeout_s;
  const unsigned pool = threads != 0 ? threads : settings.threads;
  // Suspending lets a handler hand slow work (a login's password check) to other threads while
  // this one goes on serving.
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
  options.push_back({MHD_OPTION_CONNECTION_LIMIT, limit, nullptr});
  options.push_back({MHD_OPTION_CONNECTION_TIMEOUT, timeout, nullptr});
  // Requires Host on HTTP/1.1 and refuses white space in the request target.
  options.push_back({MHD_OPTION_STRICT_FOR_CLIENT, 1, nullptr});
  if (pool > 1) options.push_back({MHD_OPTION_THREAD_POOL_SIZE, pool, nullptr});
  if (!settings.tls_cert.empty()) {
    flags |= MHD_USE_TLS;
    options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(settings.tls_cert.c_str())});
    options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(settings.tls_key.c_str())});
    options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
  }
  auto companions = std::make_shared<Companions>(handler, cls);
  std::shared_ptr<PeerLimit>& peers = companions->peers;
  if (settings.per_peer_limit != 0) {
    peers = std::make_shared<PeerLimit>(settings.per_peer_limit);
    options.push_back({MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&PeerLimit::Notify),
                       peers.get()});
  }
  daemon =
      MhdDaemon::Start(flags, port, &FramingGuard::Handle, &companions->guard, std::move(options),
                       peers ? &PeerLimit::Admit : nullptr, peers.get(), settings.address);
  if (!daemon)
    return Status::Error("cannot listen on " + settings.address + ":" + std::to_string(port));
  if (peers) peers->set_port(daemon.port());
  daemon.Keep(std::move(companions));
  return Status::OK();
}

}  // namespace zelmic
