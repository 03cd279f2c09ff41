#pragma once
// The signed REST interface: checks verb, mount, Date and signature, the access token, the path
// and the token's scope, then hands the request to the verb handlers.

#include <microhttpd.h>

#include <cstdint>
#include <string>

#include "service/http/api_request.h"
#include "service/http/faults.h"
#include "service/http/mhd_daemon.h"
#include "service/store/store.h"

namespace zelmic {

class ApiServer {
 public:
  ApiServer(Store& store, FaultScript& faults, std::string secret);
  ~ApiServer();
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  // Set before Start: the URLs that answers carry.
  void set_urls(const ServiceUrls& urls) { urls_ = urls; }
  Status Start(uint16_t port);
  uint16_t port() const { return port_; }
  void Stop();

  static constexpr size_t kMaxBody = size_t{64} * 1024;

 private:
  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* upload_data,
                           size_t* upload_data_size, void** con_cls);
  // Checks everything the headers carry; an error answer when the request is refused.
  Status Admit(MHD_Connection* connection, const std::string& method, const std::string& raw_uri,
               ApiRequest& request);

  Store& store_;
  FaultScript& faults_;
  std::string secret_;
  ServiceUrls urls_;
  MhdDaemon daemon_;
  uint16_t port_ = 0;
};

}  // namespace zelmic
