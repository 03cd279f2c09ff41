#pragma once
// How the listeners of zelmicd are started: bound to 127.0.0.1 (another address only with TLS),
// event-driven with a small thread pool, a connection limit, an idle timeout, strict about the
// requests they read (service/http/framing_guard.h) and, when configured, TLS 1.2 or newer.

#include <microhttpd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "service/http/mhd_daemon.h"
#include "service/store/status.h"

namespace zelmic {

// How every listener of the process runs. A connection costs a descriptor and a little memory but
// no thread: a few threads wait on epoll for all of them, so slow or idle clients cannot starve
// the others until the connection limit, which stays below the descriptor limit. No one client
// may hold more than per_peer_limit of them (service/http/peer_limit.h).
struct ListenerSettings {
  unsigned threads = 4;               // threads per listener
  unsigned connection_limit = 0;      // per listener; 0: derived from the descriptor limit
  unsigned per_peer_limit = 32;       // per client account or address on one listener; 0: none
  unsigned idle_timeout_s = 15;       // a connection silent this long is closed
  std::string tls_cert, tls_key;      // PEM text; both empty: plain HTTP
  std::string address = "127.0.0.1";  // IPv4 address every listener binds
};
// The TLS versions and algorithms the listeners offer (GnuTLS priority syntax): TLS 1.2 and 1.3
// with forward-secret key exchange and AEAD ciphers only.
extern const char* const kTlsPriorities;
// Whether the listeners speak TLS: what answers that pin a browser to HTTPS depend on.
bool ListenersUseTls();
// Set once by `serve` before any listener starts; tests that run a listener in-process keep the
// defaults.
void SetListenerSettings(const ListenerSettings& settings);
// Raises the soft descriptor limit to the hard one; returns the limit now in force.
uint64_t RaiseDescriptorLimit();
// The connection limit of one listener when none is set: a quarter of the descriptors (four
// listeners) less a reserve for the store, the staged files and the log, at most 8192.
unsigned DefaultConnectionLimit();

// Starts a daemon on the settings' address and port (0: ephemeral) with the current listener
// settings, the given handler and further options (MHD_OPTION_END-terminated array items are added
// by the callee). idle_timeout_s 0 takes the settings' value. daemon receives the holder, a stopped
// one when it fails ("cannot listen on ADDRESS:PORT").
Status StartListener(uint16_t port, MHD_AccessHandlerCallback handler, void* cls,
                     std::vector<MHD_OptionItem> options, unsigned idle_timeout_s, unsigned threads,
                     MhdDaemon& daemon);

}  // namespace zelmic
