#pragma once
// The token endpoint: POST /oauth/token with a form of grant_type=refresh_token, refresh_token,
// client_id and client_secret; answers {"access_token": ...} or {"error": ...}.

#include <microhttpd.h>

#include <cstdint>
#include <string>

#include "service/http/faults.h"
#include "service/http/mhd_daemon.h"
#include "service/store/store.h"

namespace zelmic {

class TokenServer {
 public:
  TokenServer(Store& store, FaultScript& faults, std::string client_id, std::string client_secret);
  ~TokenServer();
  TokenServer(const TokenServer&) = delete;
  TokenServer& operator=(const TokenServer&) = delete;

  Status Start(uint16_t port);
  uint16_t port() const { return port_; }
  void Stop();

 private:
  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* upload_data,
                           size_t* upload_data_size, void** con_cls);
  MHD_Result Finish(MHD_Connection* connection, struct TokenRequest& request);

  Store& store_;
  FaultScript& faults_;
  std::string client_id_;
  std::string client_secret_;
  MhdDaemon daemon_;
  uint16_t port_ = 0;
};

}  // namespace zelmic
