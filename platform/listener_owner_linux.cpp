#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/listener_owner.h"
#include "platform/socket_lookup.h"

namespace platform {

namespace {

using Address = std::array<uint8_t, 16>;

constexpr Address kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};

Address MappedV4(const uint8_t (&v4)[4]) {
  Address a = kMappedPrefix;
  std::memcpy(a.data() + 12, v4, 4);
  return a;
}

bool IsMapped(const Address& a) { return std::memcmp(a.data(), kMappedPrefix.data(), 12) == 0; }

Address V6Loopback() {
  Address a{};
  a[15] = 1;
  return a;
}

const Address kV6Any{};
const Address kV4Any = kMappedPrefix;

bool ParseHex(std::string_view text, uint64_t limit, uint64_t& value) {
  if (text.empty() || text.size() > 16) return false;
  value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      return false;
    value = value * 16 + static_cast<uint64_t>(digit);
  }
  return value <= limit;
}

// The kernel prints each 32-bit word of an address as it lies in memory, read as a host integer
// ("%08X"): copying the integer back into memory gives the bytes in network order.
bool ParseAddressWords(std::string_view hex, uint8_t* out, size_t words) {
  if (hex.size() != words * 8) return false;
  for (size_t i = 0; i < words; ++i) {
    uint64_t word = 0;
    if (!ParseHex(hex.substr(i * 8, 8), UINT32_MAX, word)) return false;
    const uint32_t raw = static_cast<uint32_t>(word);
    std::memcpy(out + i * 4, &raw, 4);
  }
  return true;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t' && line[pos] != '\n') ++pos;
    if (pos > start) fields.push_back(line.substr(start, pos - start));
    if (pos < line.size() && line[pos] == '\n') break;
  }
  return fields;
}

// The address a connection to `host` goes to, in the mapped form; false for anything that is not
// a literal address. A connection to an unspecified address reaches the loopback one.
bool LiteralAddress(std::string_view host, Address& out) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const std::string text(host);
  in_addr v4{};
  in6_addr v6{};
  if (text.find(':') == std::string::npos) {
    // inet_aton also takes the short forms ("127.1") a URL parser may leave.
    if (::inet_aton(text.c_str(), &v4) == 0) return false;
    uint8_t bytes[4];
    std::memcpy(bytes, &v4.s_addr, 4);
    out = MappedV4(bytes);
  } else {
    if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
    std::memcpy(out.data(), v6.s6_addr, 16);
  }
  if (out == kV4Any) out[12] = 127, out[15] = 1;
  if (out == kV6Any) out = V6Loopback();
  return true;
}

bool IsLoopbackAddress(const Address& a) { return IsMapped(a) ? a[12] == 127 : a == V6Loopback(); }

bool IsLocalhostName(std::string_view host) {
  constexpr std::string_view kName = "localhost";
  if (host.size() > 0 && host.back() == '.') host.remove_suffix(1);
  if (host.size() < kName.size()) return false;
  const std::string_view tail = host.substr(host.size() - kName.size());
  if (::strncasecmp(tail.data(), kName.data(), kName.size()) != 0) return false;
  return host.size() == kName.size() || host[host.size() - kName.size() - 1] == '.';
}

// A listener bound to `bound` takes connections to `target` (both mapped forms): the same address,
// or a wildcard of the target's family; an IPv6 wildcard also takes IPv4 unless it is v6-only,
// which the tables do not tell, so it counts.
bool Accepts(const Address& bound, const Address& target) {
  if (bound == target || bound == kV6Any) return true;
  return IsMapped(target) && bound == kV4Any;
}

std::string Describe(const Address& a, uint16_t port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (IsMapped(a)) {
    ::inet_ntop(AF_INET, a.data() + 12, text, sizeof text);
    return std::string(text) + ":" + std::to_string(port);
  }
  ::inet_ntop(AF_INET6, a.data(), text, sizeof text);
  // Appended, not prepended: GCC 12 at -O3 warns falsely about overlap in "[" + std::string.
  std::string out = "[";
  out += text;
  return out + "]:" + std::to_string(port);
}

// What the kernel says of the listener a connection to an address and port would reach.
enum class KernelAnswer { kListener, kNone, kUnanswered };

// Asks the kernel which socket a connection to `target`:`port` would reach: the same lookup an
// arriving connection takes, so the answer is the listener that would get the bytes, in one
// step. Reading the tables instead costs a walk over every bucket of the connection hash
// (milliseconds on a large machine), and every request that carries a credential asks.
// kUnanswered when the kernel cannot be asked (no sock_diag): the caller reads the tables then.
KernelAnswer AskKernel(const Address& target, uint16_t port, uint32_t& uid) {
  TcpSocketKey key;
  key.ipv6 = !IsMapped(target);
  if (key.ipv6) {
    key.local = target;
  } else {
    std::memcpy(key.local.data(), target.data() + 12, 4);
  }
  key.localPort = port;  // no peer: only the listener the lookup falls back to can match
  const TcpSocketFound found = LookUpTcpSocket(key);
  if (found.answer == SocketLookup::kNone) return KernelAnswer::kNone;
  if (found.answer != SocketLookup::kFound || found.state != TCP_LISTEN) {
    return KernelAnswer::kUnanswered;
  }
  uid = found.uid;
  return KernelAnswer::kListener;
}

// The check through the kernel for each target; nullopt when it could not answer for one.
std::optional<ListenerCheck> CheckThroughKernel(const std::vector<Address>& targets,
                                                uint16_t port) {
  ListenerCheck check;
  const uint32_t self = static_cast<uint32_t>(::geteuid());
  bool found = false;
  for (const Address& target : targets) {
    uint32_t uid = 0;
    const KernelAnswer answer = AskKernel(target, port, uid);
    if (answer == KernelAnswer::kUnanswered) return std::nullopt;
    if (answer == KernelAnswer::kNone) continue;
    found = true;
    if (uid != self && uid != 0) {
      check.verdict = ListenerVerdict::kOtherUser;
      check.uid = uid;
      check.address = Describe(target, port);
      return check;
    }
  }
  check.verdict = found ? ListenerVerdict::kOwned : ListenerVerdict::kNoListener;
  return check;
}

bool ReadTable(const std::string& path, bool ipv6, std::vector<SocketEntry>& out) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    if (std::optional<SocketEntry> entry = ParseSocketLine(line, ipv6)) {
      if (entry->listening) out.push_back(*entry);
    }
  }
  return true;
}

}  // namespace

std::optional<SocketEntry> ParseSocketLine(std::string_view line, bool ipv6) {
  const std::vector<std::string_view> f = Fields(line);
  // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
  if (f.size() < 8 || f[0].empty() || f[0].back() != ':') return std::nullopt;
  const std::string_view local = f[1];
  const size_t colon = local.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  SocketEntry entry;
  if (ipv6) {
    if (!ParseAddressWords(local.substr(0, colon), entry.address.data(), 4)) return std::nullopt;
  } else {
    uint8_t v4[4];
    if (!ParseAddressWords(local.substr(0, colon), v4, 1)) return std::nullopt;
    entry.address = MappedV4(v4);
  }
  uint64_t port = 0, state = 0;
  if (local.size() - colon - 1 != 4 || !ParseHex(local.substr(colon + 1), UINT16_MAX, port) ||
      f[3].size() != 2 || !ParseHex(f[3], 0xff, state)) {
    return std::nullopt;
  }
  entry.port = static_cast<uint16_t>(port);
  entry.listening = state == 0x0A;
  uint64_t uid = 0;
  for (char c : f[7]) {
    if (c < '0' || c > '9') return std::nullopt;
    uid = uid * 10 + static_cast<uint64_t>(c - '0');
    if (uid > UINT32_MAX) return std::nullopt;
  }
  entry.uid = static_cast<uint32_t>(uid);
  return entry;
}

bool IsLoopbackHost(std::string_view host) {
  Address a{};
  if (LiteralAddress(host, a)) return IsLoopbackAddress(a);
  return IsLocalhostName(host);
}

namespace {

// The addresses a connection to `host` may reach (both loopbacks for a name); false when it is
// not a loopback host.
bool LoopbackTargets(std::string_view host, std::vector<Address>& targets) {
  Address literal{};
  if (LiteralAddress(host, literal)) {
    if (!IsLoopbackAddress(literal)) return false;
    targets.push_back(literal);
    return true;
  }
  if (!IsLocalhostName(host)) return false;
  const uint8_t v4[4] = {127, 0, 0, 1};
  targets.push_back(MappedV4(v4));
  targets.push_back(V6Loopback());
  return true;
}

}  // namespace

std::optional<ListenerCheck> AskKernelForListener(std::string_view host, uint16_t port) {
  std::vector<Address> targets;
  if (!LoopbackTargets(host, targets)) return ListenerCheck{};
  return CheckThroughKernel(targets, port);
}

ListenerCheck CheckLoopbackListener(std::string_view host, uint16_t port,
                                    const SocketTables& tables) {
  ListenerCheck check;
  std::vector<Address> targets;
  if (!LoopbackTargets(host, targets)) return check;

  // The system's own tables: the kernel answers directly. Tables of a test's own are read.
  const SocketTables system;
  if (tables.tcp4 == system.tcp4 && tables.tcp6 == system.tcp6) {
    if (std::optional<ListenerCheck> asked = CheckThroughKernel(targets, port)) return *asked;
  }

  std::vector<SocketEntry> listeners;
  const bool v4Read = ReadTable(tables.tcp4, false, listeners);
  const bool v6Read = ReadTable(tables.tcp6, true, listeners);  // absent without IPv6
  if (!v4Read && !v6Read) {
    check.verdict = ListenerVerdict::kUnreadable;
    check.address = Describe(targets.front(), port);
    return check;
  }
  const uint32_t self = static_cast<uint32_t>(::geteuid());
  bool found = false;
  for (const Address& target : targets) {
    for (const SocketEntry& e : listeners) {
      if (e.port != port || !Accepts(e.address, target)) continue;
      found = true;
      if (e.uid != self && e.uid != 0) {
        check.verdict = ListenerVerdict::kOtherUser;
        check.uid = e.uid;
        check.address = Describe(target, port);
        return check;
      }
    }
  }
  check.verdict = found ? ListenerVerdict::kOwned : ListenerVerdict::kNoListener;
  return check;
}

}  // namespace platform
