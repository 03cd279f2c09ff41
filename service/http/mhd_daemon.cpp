#include "service/http/mhd_daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <utility>

namespace zelmic {

MhdDaemon::MhdDaemon(MhdDaemon&& other) noexcept
    : daemon_(std::exchange(other.daemon_, nullptr)),
      port_(std::exchange(other.port_, 0)),
      companion_(std::move(other.companion_)) {}

MhdDaemon& MhdDaemon::operator=(MhdDaemon&& other) noexcept {
  if (this != &other) {
    Stop();
    daemon_ = std::exchange(other.daemon_, nullptr);
    port_ = std::exchange(other.port_, 0);
    companion_ = std::move(other.companion_);
  }
  return *this;
}

MhdDaemon MhdDaemon::Start(unsigned flags, uint16_t port, MHD_AccessHandlerCallback handler,
                           void* cls, std::vector<MHD_OptionItem> options,
                           MHD_AcceptPolicyCallback accept, void* accept_cls,
                           const std::string& address) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return MhdDaemon();
  options.push_back({MHD_OPTION_SOCK_ADDR, 0, &addr});
  options.push_back({MHD_OPTION_END, 0, nullptr});
  MhdDaemon held;
  held.daemon_ = MHD_start_daemon(flags, port, accept, accept_cls, handler, cls, MHD_OPTION_ARRAY,
                                  options.data(), MHD_OPTION_END);
  if (held.daemon_ == nullptr) return held;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(held.daemon_, MHD_DAEMON_INFO_BIND_PORT);
  held.port_ = info != nullptr ? info->port : port;
  if (held.port_ == 0) held.Stop();
  return held;
}

void MhdDaemon::Stop() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  port_ = 0;
  companion_.reset();
}

}  // namespace zelmic
