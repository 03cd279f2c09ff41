#include "service/http/peer_limit.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "platform/socket_lookup.h"

namespace zelmic {

namespace {

// "address:port" of a client, and its address alone.
bool Describe(const sockaddr* addr, socklen_t addrlen, std::string& client, std::string& address) {
  char text[INET6_ADDRSTRLEN] = {};
  uint16_t port = 0;
  if (addr->sa_family == AF_INET && addrlen >= sizeof(sockaddr_in)) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
  } else if (addr->sa_family == AF_INET6 && addrlen >= sizeof(sockaddr_in6)) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    port = ntohs(in6->sin6_port);
  } else {
    return false;
  }
  address = text;
  client = address + ":" + std::to_string(port);
  return true;
}

bool IsLoopback(const sockaddr* addr) {
  if (addr->sa_family != AF_INET) return false;
  const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
  return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
}

}  // namespace

std::optional<uint32_t> LoopbackPeerUid(const sockaddr_in& client, uint16_t server_port) {
  if (server_port == 0) return std::nullopt;
  // One exact lookup: the client's socket is the one whose own side is the client's address and
  // port and whose peer is the listener.
  platform::TcpSocketKey key;
  std::memcpy(key.local.data(), &client.sin_addr.s_addr, 4);
  key.localPort = ntohs(client.sin_port);
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  std::memcpy(key.peer.data(), &loopback, 4);
  key.peerPort = server_port;
  const platform::TcpSocketFound found = platform::LookUpTcpSocket(key);
  if (found.answer != platform::SocketLookup::kFound) return std::nullopt;
  return found.uid;
}

std::string PeerOf(const sockaddr* addr, socklen_t addrlen, uint16_t server_port) {
  std::string client, peer;
  if (!Describe(addr, addrlen, client, peer)) return {};
  if (IsLoopback(addr)) {
    const auto uid = LoopbackPeerUid(*reinterpret_cast<const sockaddr_in*>(addr), server_port);
    if (uid) peer = "uid " + std::to_string(*uid);
  }
  return peer;
}

bool PeerLimit::Take(const sockaddr* addr, socklen_t addrlen) {
  std::string client, address;
  if (!Describe(addr, addrlen, client, address)) return true;
  const std::string peer = PeerOf(addr, addrlen, port_.load());
  std::lock_guard<std::mutex> lock(mutex_);
  // A slot left by a connection the daemon never took (it fails after this policy said yes) is
  // given back when its client port comes round again.
  if (auto stale = clients_.find(client); stale != clients_.end()) {
    if (auto it = peers_.find(stale->second); it != peers_.end() && --it->second == 0)
      peers_.erase(it);
    clients_.erase(stale);
  }
  unsigned& held = peers_[peer];
  if (held >= per_peer_) {
    if (held == 0) peers_.erase(peer);
    return false;
  }
  ++held;
  clients_[client] = peer;
  return true;
}

void PeerLimit::Release(const sockaddr* addr, socklen_t addrlen) {
  std::string client, address;
  if (!Describe(addr, addrlen, client, address)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = clients_.find(client);
  if (it == clients_.end()) return;
  if (auto held = peers_.find(it->second); held != peers_.end() && --held->second == 0)
    peers_.erase(held);
  clients_.erase(it);
}

MHD_Result PeerLimit::Admit(void* cls, const sockaddr* addr, socklen_t addrlen) {
  return static_cast<PeerLimit*>(cls)->Take(addr, addrlen) ? MHD_YES : MHD_NO;
}

void PeerLimit::Notify(void* cls, MHD_Connection* connection, void**,
                       MHD_ConnectionNotificationCode code) {
  if (code != MHD_CONNECTION_NOTIFY_CLOSED) return;
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return;
  const sockaddr* addr = info->client_addr;
  const socklen_t size = addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  static_cast<PeerLimit*>(cls)->Release(addr, size);
}

}  // namespace zelmic
