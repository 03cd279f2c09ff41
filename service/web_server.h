#pragma once
// The web listener: the user page ("/?user=NAME"), uploads from its form ("/upload"), the
// download locations ("/download/KEY"), published links ("/s/KEY") and, for tests, the admin
// endpoints that script the next answers of any listener ("/admin/script", "/admin/clear";
// loopback peers only).

#include <microhttpd.h>

#include <cstdint>
#include <string>

#include "service/faults.h"
#include "service/store.h"

namespace zelmic {

class WebServer {
 public:
  WebServer(Store& store, FaultScript& faults);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  bool Start(uint16_t port, std::string& error);
  uint16_t port() const { return port_; }
  void Stop();

  static constexpr uint64_t kMaxUpload = 1ULL << 30;

 private:
  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* upload_data,
                           size_t* upload_data_size, void** con_cls);
  MHD_Result Start(MHD_Connection* connection, const std::string& url, const std::string& method,
                   struct WebRequest& request);
  MHD_Result Finish(MHD_Connection* connection, struct WebRequest& request);
  MHD_Result Download(MHD_Connection* connection, const std::string& key, bool published);

  Store& store_;
  FaultScript& faults_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
};

}  // namespace zelmic
