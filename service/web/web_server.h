#pragma once
// The web listener: the page of the logged-in user ("/"), the login ("/login", "/logout"),
// uploads from the page's form ("/upload"), the download locations ("/download/LOCATION"),
// published links ("/s/KEY") and, only when serving with --faults, the admin endpoints that
// script the next answers of any listener ("/admin/script", "/admin/clear").

#include <microhttpd.h>

#include <cstdint>
#include <string>

#include "service/http/faults.h"
#include "service/http/mhd_daemon.h"
#include "service/store/store.h"
#include "service/upload/checksum_keeper.h"
#include "service/web/web_sessions.h"

namespace zelmic {

struct WebOptions {
  bool faults = false;         // answer the admin endpoints
  bool secure_cookie = false;  // served over TLS: the cookie is only sent back over TLS
};

class WebServer {
 public:
  // The keeper is told which contents an edit is likely to start from; it must outlive the server.
  WebServer(Store& store, FaultScript& faults, WebOptions options, ChecksumKeeper& keeper);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  Status Start(uint16_t port);
  uint16_t port() const { return port_; }
  void Stop();

  // Bounds of what a form may send: the file of an upload, the number of fields and the size of
  // one field other than the file. The whole body may exceed the file by kMaxFormOverhead.
  static constexpr uint64_t kMaxUpload = 1ULL << 30;
  static constexpr size_t kMaxFields = 8;
  static constexpr size_t kMaxFieldSize = 4096;
  static constexpr uint64_t kMaxFormOverhead = uint64_t{64} * 1024;

 private:
  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* upload_data,
                           size_t* upload_data_size, void** con_cls);
  MHD_Result Start(MHD_Connection* connection, const std::string& url, const std::string& method,
                   struct WebRequest& request);
  MHD_Result Finish(MHD_Connection* connection, struct WebRequest& request);
  MHD_Result FinishLogin(MHD_Connection* connection, struct WebRequest& request);
  MHD_Result FinishUpload(MHD_Connection* connection, struct WebRequest& request);
  MHD_Result Download(MHD_Connection* connection, const std::string& key, bool published,
                      bool head);
  std::optional<WebLogin> LoginOf(MHD_Connection* connection);

  Store& store_;
  FaultScript& faults_;
  ChecksumKeeper& keeper_;
  WebOptions options_;
  WebSessions sessions_;
  MhdDaemon daemon_;
  uint16_t port_ = 0;
};

}  // namespace zelmic
