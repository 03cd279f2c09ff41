#pragma once
// The web listener: the page of the logged-in user ("/"), the launch link of one of the user's
// files, minted when asked for ("/edit?mount=M&path=P"), the login ("/login", "/logout"),
// uploads from the page's form ("/upload"), the download locations ("/download/LOCATION"),
// published links ("/s/KEY") and, only when serving with --faults, the admin endpoints that
// script the next answers of any listener ("/admin/script", "/admin/clear").
// Forms are taken from the page's own origin only. Password checks run on threads of their own
// while the login's connection is suspended, and failed logins are throttled (LoginThrottle).

#include <microhttpd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "service/http/faults.h"
#include "service/http/mhd_daemon.h"
#include "service/store/store.h"
#include "service/upload/checksum_keeper.h"
#include "service/web/check_pool.h"
#include "service/web/login_throttle.h"
#include "service/web/web_sessions.h"

namespace zelmic {

struct WebOptions {
  bool faults = false;         // answer the admin endpoints
  bool secure_cookie = false;  // served over TLS: the cookie is only sent back over TLS
  // The origin ("https://host:port") of the address browsers reach the page by when it is not
  // the listener's own (--web-url, a TLS front): forms from there are the page's own too.
  std::string public_origin;
};

// The origin of an absolute URL: its scheme, host and port, without path; empty when it has none.
std::string OriginOf(const std::string& url);

class WebServer {
 public:
  // The keeper is told which contents an edit is likely to start from; it must outlive the server.
  WebServer(Store& store, FaultScript& faults, WebOptions options, ChecksumKeeper& keeper);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  Status Start(uint16_t port);
  uint16_t port() const { return port_.load(); }
  void Stop();

  // Bounds of what a form may send: the file of an upload, the number of fields and the size of
  // one field other than the file. The whole body may exceed the file by kMaxFormOverhead.
  static constexpr uint64_t kMaxUpload = 1ULL << 30;
  static constexpr size_t kMaxFields = 8;
  static constexpr size_t kMaxFieldSize = 4096;
  static constexpr uint64_t kMaxFormOverhead = uint64_t{64} * 1024;
  // Threads for password checks, and logins that may wait for one before more are refused.
  static constexpr unsigned kCheckThreads = 2;
  static constexpr size_t kMaxQueuedChecks = 64;

 private:
  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* upload_data,
                           size_t* upload_data_size, void** con_cls);
  MHD_Result Start(MHD_Connection* connection, const std::string& url, const std::string& method,
                   struct WebRequest& request);
  MHD_Result Finish(MHD_Connection* connection, struct WebRequest& request);
  MHD_Result FinishLogin(MHD_Connection* connection, struct WebRequest& request);
  // On a thread of checks_: the password check of a login, unless its keys are refused by now.
  void CheckLogin(struct WebRequest& request, const std::vector<std::string>& keys);
  MHD_Result AnswerLogin(MHD_Connection* connection, struct WebRequest& request);
  // Whether a form comes from this site's own page: its Origin is this listener's.
  bool FromOwnPage(MHD_Connection* connection) const;
  MHD_Result FinishUpload(MHD_Connection* connection, struct WebRequest& request);
  MHD_Result Download(MHD_Connection* connection, const std::string& key, bool published,
                      bool head);
  std::optional<WebLogin> LoginOf(MHD_Connection* connection);
  // Answers "/edit" with a redirect to the launch URL of the file, for its member only.
  MHD_Result EditLink(MHD_Connection* connection);

  Store& store_;
  FaultScript& faults_;
  ChecksumKeeper& keeper_;
  WebOptions options_;
  WebSessions sessions_;
  LoginThrottle throttle_;
  // Password checks run here: a listener thread suspends the login and goes on serving.
  CheckPool checks_{kCheckThreads, kMaxQueuedChecks};
  MhdDaemon daemon_;
  // Read by the listener's threads (the Origin check, the login throttle's key), which may run
  // before Start stores the port the daemon was given.
  std::atomic<uint16_t> port_{0};
};

}  // namespace zelmic
