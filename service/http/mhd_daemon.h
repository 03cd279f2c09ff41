#pragma once
// One running libmicrohttpd daemon, on 127.0.0.1 unless told otherwise, owned like a file
// descriptor: started by Start, stopped by its holder's destructor, so no path out of a server or a
// test fixture leaves a listening thread behind.

#include <microhttpd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelmic {

class MhdDaemon {
 public:
  MhdDaemon() = default;
  ~MhdDaemon() { Stop(); }
  MhdDaemon(MhdDaemon&& other) noexcept;
  MhdDaemon& operator=(MhdDaemon&& other) noexcept;
  MhdDaemon(const MhdDaemon&) = delete;
  MhdDaemon& operator=(const MhdDaemon&) = delete;

  // Starts a daemon with these flags on address:port (an IPv4 address; port 0: ephemeral),
  // handing each request to handler with cls; options need no MHD_OPTION_END, the address is
  // added here. A daemon on an ephemeral port that cannot tell which one it got is stopped again:
  // nobody could reach it. accept, when given, decides on each accepted connection before it is
  // served.
  static MhdDaemon Start(unsigned flags, uint16_t port, MHD_AccessHandlerCallback handler,
                         void* cls, std::vector<MHD_OptionItem> options = {},
                         MHD_AcceptPolicyCallback accept = nullptr, void* accept_cls = nullptr,
                         const std::string& address = "127.0.0.1");

  bool running() const { return daemon_ != nullptr; }
  explicit operator bool() const { return running(); }
  uint16_t port() const { return port_; }  // the bound port; 0 when not running
  // Stops the daemon, waiting for its threads; a stopped holder may be started again.
  void Stop();
  // Keeps what the daemon's callbacks use alive until the daemon has stopped.
  void Keep(std::shared_ptr<void> companion) { companion_ = std::move(companion); }

 private:
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  std::shared_ptr<void> companion_;
};

}  // namespace zelmic
