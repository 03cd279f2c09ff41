#include "service/http/listener.h"

#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "service/http/peer_limit.h"

namespace zelmic {

namespace {
ListenerSettings g_settings;
}  // namespace

void SetListenerSettings(const ListenerSettings& settings) { g_settings = settings; }

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
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD;
  options.push_back({MHD_OPTION_CONNECTION_LIMIT, limit, nullptr});
  options.push_back({MHD_OPTION_CONNECTION_TIMEOUT, timeout, nullptr});
  if (pool > 1) options.push_back({MHD_OPTION_THREAD_POOL_SIZE, pool, nullptr});
  if (!settings.tls_cert.empty()) {
    flags |= MHD_USE_TLS;
    options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(settings.tls_cert.c_str())});
    options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(settings.tls_key.c_str())});
  }
  std::shared_ptr<PeerLimit> peers;
  if (settings.per_peer_limit != 0) {
    peers = std::make_shared<PeerLimit>(settings.per_peer_limit);
    options.push_back({MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&PeerLimit::Notify),
                       peers.get()});
  }
  daemon = MhdDaemon::Start(flags, port, handler, cls, std::move(options),
                            peers ? &PeerLimit::Admit : nullptr, peers.get());
  if (!daemon) return Status::Error("cannot listen on 127.0.0.1:" + std::to_string(port));
  if (peers) {
    peers->set_port(daemon.port());
    daemon.Keep(std::move(peers));
  }
  return Status::OK();
}

}  // namespace zelmic
