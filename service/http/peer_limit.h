#pragma once
// How many connections one peer may hold on a listener, beside the listener's own limit, so that
// one client cannot take every slot. zelmicd listens on loopback, where every local account comes
// from 127.0.0.1: there a peer is the account that owns the client's socket (the kernel tells,
// through sock_diag), elsewhere the client's address.

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace zelmic {

class PeerLimit {
 public:
  explicit PeerLimit(unsigned per_peer) : per_peer_(per_peer) {}

  // The listener's port, once bound: the kernel finds a loopback client's socket by both ports.
  void set_port(uint16_t port) { port_.store(port); }

  // libmicrohttpd's accept policy (cls: this PeerLimit): refuses a connection past the limit of
  // its peer.
  static MHD_Result Admit(void* cls, const sockaddr* addr, socklen_t addrlen);
  // libmicrohttpd's connection notification (cls: this PeerLimit): a closed connection frees its
  // slot.
  static void Notify(void* cls, MHD_Connection* connection, void** socket_context,
                     MHD_ConnectionNotificationCode code);

 private:
  bool Take(const sockaddr* addr, socklen_t addrlen);
  void Release(const sockaddr* addr, socklen_t addrlen);

  const unsigned per_peer_;
  std::atomic<uint16_t> port_{0};
  std::mutex mutex_;
  std::map<std::string, unsigned> peers_;       // peer -> connections it holds
  std::map<std::string, std::string> clients_;  // "address:port" of a connection -> its peer
};

// The uid owning the TCP socket 127.x.y.z:client_port connected to 127.0.0.1:server_port, as the
// kernel reports it; none when it cannot tell.
std::optional<uint32_t> LoopbackPeerUid(const sockaddr_in& client, uint16_t server_port);

// The peer a client counts as: "uid N" for a loopback client whose account the kernel tells, else
// its address; empty for an address of another family.
std::string PeerOf(const sockaddr* addr, socklen_t addrlen, uint16_t server_port);

}  // namespace zelmic
