#pragma once
// Who owns the socket that a connection to a loopback address would reach. Any local account may
// listen on a free loopback port, and plain HTTP on loopback proves nothing about the peer: a
// credential sent there goes to whoever bound the port first. The kernel names the uid of every
// listening socket, so a client can see, before it connects, whether the listener is its own
// account's (or root's). It is asked through sock_diag, with the lookup an arriving connection
// takes; where that cannot answer, its socket tables (/proc/net/tcp, /proc/net/tcp6) are read.
//
//   const platform::ListenerCheck check = platform::CheckLoopbackListener("127.0.0.1", 47811);
//   if (check.verdict == platform::ListenerVerdict::kOtherUser) ... refuse, naming check.uid

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The tables read; tests point them at files of their own.
struct SocketTables {
  std::string tcp4 = "/proc/net/tcp";
  std::string tcp6 = "/proc/net/tcp6";
};

// One line of a table, the columns that matter here. IPv4 addresses are kept in their IPv6-mapped
// form (::ffff:a.b.c.d), so that both tables compare alike.
struct SocketEntry {
  std::array<uint8_t, 16> address{};
  uint16_t port = 0;
  bool listening = false;  // state 0A
  uint32_t uid = 0;
};

// Reads one data line of /proc/net/tcp (`ipv6` false) or /proc/net/tcp6 (`ipv6` true), as this
// machine's kernel writes it. nullopt for the heading and anything malformed.
std::optional<SocketEntry> ParseSocketLine(std::string_view line, bool ipv6);

enum class ListenerVerdict {
  kNotLoopback,  // the host is not a loopback address: nothing to check here
  kOwned,        // every listener that could take the connection is ours or root's
  kOtherUser,    // one is another account's (ListenerCheck::uid)
  kNoListener,   // nobody listens there: the connection fails on its own
  kUnreadable,   // neither table could be read (no /proc): the owner cannot be told
};

struct ListenerCheck {
  ListenerVerdict verdict = ListenerVerdict::kNotLoopback;
  uint32_t uid = 0;     // the other account, for kOtherUser
  std::string address;  // "127.0.0.1:PORT" / "[::1]:PORT" of the refused or unknown listener
};

// True for the literal hosts a connection reaches this machine's loopback through: 127.0.0.0/8,
// ::1, ::ffff:127.x.y.z, the unspecified addresses (a connection to 0.0.0.0 or :: goes to
// loopback), and the name "localhost" and names below ".localhost". Brackets around IPv6
// literals are allowed.
bool IsLoopbackHost(std::string_view host);

// The listeners on `port` that a connection to `host` could reach: for a name, both 127.0.0.1
// and ::1 (whichever the resolver picks must pass); for an address, the socket bound to it and
// the wildcard sockets of both families that also accept it. Any of them owned by an account
// other than ours (the effective uid) and root gives kOtherUser. With the system's own tables the
// kernel is asked first (it names the one listener that would take the connection); tables a test
// names, or a kernel that cannot answer, are read once.
ListenerCheck CheckLoopbackListener(std::string_view host, uint16_t port,
                                    const SocketTables& tables = {});

// The kernel's answer alone: the one listener a connection to `host`:`port` would reach (for a
// name, each loopback), whatever its family or v6-only setting. nullopt when the kernel cannot
// be asked.
std::optional<ListenerCheck> AskKernelForListener(std::string_view host, uint16_t port);

}  // namespace platform
