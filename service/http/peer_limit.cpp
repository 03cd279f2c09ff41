#include "service/http/peer_limit.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

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
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return std::nullopt;
  // One exact lookup: the client's socket is the one whose source is the client's address and
  // port and whose destination is the listener.
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } ask{};
  ask.header.nlmsg_len = sizeof ask;
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST;
  ask.request.sdiag_family = AF_INET;
  ask.request.sdiag_protocol = IPPROTO_TCP;
  ask.request.idiag_states = ~0U;
  ask.request.id.idiag_sport = client.sin_port;
  ask.request.id.idiag_dport = htons(server_port);
  ask.request.id.idiag_src[0] = client.sin_addr.s_addr;
  ask.request.id.idiag_dst[0] = htonl(INADDR_LOOPBACK);
  ask.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  std::optional<uint32_t> uid;
  if (::sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(sizeof ask)) {
    alignas(nlmsghdr) char answer[1024];
    const ssize_t n = ::recv(fd, answer, sizeof answer, 0);
    const auto* reply = reinterpret_cast<const nlmsghdr*>(answer);
    if (n >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(inet_diag_msg))) &&
        NLMSG_OK(reply, static_cast<unsigned>(n)) && reply->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
      const auto* message = static_cast<const inet_diag_msg*>(NLMSG_DATA(reply));
      uid = message->idiag_uid;
    }
  }
  ::close(fd);
  return uid;
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
