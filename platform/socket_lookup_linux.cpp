#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/socket_lookup.h"

namespace platform {

TcpSocketFound LookUpTcpSocket(const TcpSocketKey& key) {
  TcpSocketFound found;
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return found;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } ask{};
  ask.header.nlmsg_len = sizeof ask;
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST;
  ask.request.sdiag_family = key.ipv6 ? AF_INET6 : AF_INET;
  ask.request.sdiag_protocol = IPPROTO_TCP;
  ask.request.idiag_states = ~0U;
  const size_t length = key.ipv6 ? 16 : 4;
  std::memcpy(ask.request.id.idiag_src, key.local.data(), length);
  std::memcpy(ask.request.id.idiag_dst, key.peer.data(), length);
  ask.request.id.idiag_sport = htons(key.localPort);
  ask.request.id.idiag_dport = htons(key.peerPort);
  ask.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(sizeof ask)) {
    alignas(nlmsghdr) char reply[4096];
    const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
    const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
    if (n >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) &&
        NLMSG_OK(header, static_cast<unsigned>(n)) && header->nlmsg_type == NLMSG_ERROR) {
      // ENOENT: nothing there. Anything else: the kernel cannot say.
      const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
      if (error->error == -ENOENT) found.answer = SocketLookup::kNone;
    } else if (n >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(inet_diag_msg))) &&
               NLMSG_OK(header, static_cast<unsigned>(n)) &&
               header->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
      const auto* message = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
      found.answer = SocketLookup::kFound;
      found.uid = message->idiag_uid;
      found.state = message->idiag_state;
    }
  }
  ::close(fd);
  return found;
}

}  // namespace platform
