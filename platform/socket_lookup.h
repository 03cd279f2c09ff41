#pragma once
// One TCP socket of this machine looked up in the kernel (sock_diag), by its own side and its
// peer's, with the lookup an arriving packet takes: one step, whatever the number of sockets.
// With no peer (address and port zero) no connection matches, and the answer is the listener
// that a connection to the socket's own side would reach.
//
//   platform::TcpSocketKey key;
//   key.local = {127, 0, 0, 1}; key.localPort = 47811;          // who would take 127.0.0.1:47811
//   const platform::TcpSocketFound found = platform::LookUpTcpSocket(key);
//   if (found.answer == platform::SocketLookup::kFound) ... found.uid owns it

#include <array>
#include <cstdint>

namespace platform {

struct TcpSocketKey {
  bool ipv6 = false;
  std::array<uint8_t, 16> local{};  // network order: the first 4 bytes for IPv4
  uint16_t localPort = 0;           // host order
  std::array<uint8_t, 16> peer{};
  uint16_t peerPort = 0;
};

enum class SocketLookup {
  kFound,
  kNone,        // no such socket, and no listener that would take it
  kUnanswered,  // the kernel cannot be asked (no sock_diag) or answered something else
};

struct TcpSocketFound {
  SocketLookup answer = SocketLookup::kUnanswered;
  uint32_t uid = 0;   // owner, for kFound
  uint8_t state = 0;  // TCP state as the kernel numbers it (10: listening), for kFound
};

TcpSocketFound LookUpTcpSocket(const TcpSocketKey& key);

}  // namespace platform
