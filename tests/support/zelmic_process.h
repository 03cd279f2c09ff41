#pragma once
// Test helpers around a private zelmicd: a temp data dir, the admin subcommands, a served instance
// on ephemeral loopback ports, the token exchange and signed raw REST requests.
//
//   zelmic_test::ZelmicProcess z;                 // mkdtemp + `zelmicd init`
//   std::string refresh = z.AddUser("ann", {1});  // refresh token of ann, mount 1
//   z.Put(1, "/tmp/local.txt", "/docs/a.txt");    // seeds a version
//   ASSERT_TRUE(z.Start());                       // serve on port 0, waits for the ready file
//   std::string access = z.AccessToken(refresh);  // POST /oauth/token
//   auto r = zelmic_test::SignedRequest(z.api_host(), access, "GET", 1, "/docs/a%2Etxt");
//
// Failures of the admin subcommands are reported with ADD_FAILURE and an empty result.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zelmic_test {

// Outcome of running a program to its end.
struct RunResult {
  int exit_code = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs argv[0] with the arguments (no shell), collecting stdout and stderr; bounded by timeout_s
// (killed after that, exit_code -1).
RunResult RunProgram(const std::vector<std::string>& argv, int timeout_s = 30);

// Path of the zelmicd binary under test.
std::string ZelmicdPath();

class ZelmicProcess {
 public:
  ZelmicProcess();   // makes the private dir and runs `zelmicd init`
  ~ZelmicProcess();  // stops the server and removes the dir
  ZelmicProcess(const ZelmicProcess&) = delete;
  ZelmicProcess& operator=(const ZelmicProcess&) = delete;

  const std::string& dir() const { return dir_; }       // the data dir
  const std::string& tmp_dir() const { return root_; }  // a scratch dir, removed with the object

  // Admin subcommands, run as separate processes (allowed while the server runs).
  // A non-empty password is given through --password-file, for the web login.
  std::string AddUser(const std::string& name, const std::vector<int>& mounts,
                      const std::string& password = {});
  void Put(int mount, const std::string& local_file, const std::string& remote_path);
  std::string Link(int mount, const std::string& remote_path, const std::string& user);
  // Runs `zelmicd SUBCOMMAND DIR args...` and returns its outcome unchecked.
  RunResult Admin(const std::string& subcommand, const std::vector<std::string>& args);

  // Starts `zelmicd serve DIR` on ephemeral ports plus extra_args; waits (<= 10 s) for the ready
  // file.
  bool Start(const std::vector<std::string>& extra_args = {});
  void Stop();   // SIGTERM, bounded wait, then SIGKILL; always reaped
  void Kill9();  // SIGKILL and reap
  // Exit status of the last stopped server as waitpid reported it (-1 before any stop).
  int last_wait_status() const { return last_status_; }

  pid_t pid() const { return pid_; }
  uint16_t api_port() const { return api_port_; }
  uint16_t token_port() const { return token_port_; }
  uint16_t upload_port() const { return upload_port_; }
  uint16_t web_port() const { return web_port_; }
  std::string api_host() const;    // "127.0.0.1:N", as dorvic_set_host takes it
  std::string token_host() const;  // "127.0.0.1:N"
  std::string web_base() const;    // "http://127.0.0.1:N" ("https://" when serving with TLS)

  // The token exchange with the built-in client credentials; empty on failure.
  std::string AccessToken(const std::string& refresh_token);
  // POST /admin/script with one scripted answer, POST /admin/clear (the server must have been
  // started with --faults).
  bool Script(const std::string& json);
  bool ClearScript();
  // Waits (bounded) until every answer scripted for `endpoint` was taken by a request.
  bool WaitScriptTaken(const std::string& endpoint, int timeout_ms = 10000);

 private:
  std::string root_;
  std::string dir_;
  std::string tls_cert_;  // --tls-cert of the running server: the only certificate trusted
  pid_t pid_ = -1;
  int last_status_ = -1;
  uint16_t api_port_ = 0, token_port_ = 0, upload_port_ = 0, web_port_ = 0;
};

// Plain HTTP through libcurl (no redirects followed, 30 s limit).
struct HttpResult {
  long status = 0;  // 0 when the transfer failed
  std::string headers;
  std::string body;
};
HttpResult HttpRequest(const std::string& method, const std::string& url,
                       const std::vector<std::string>& headers = {}, const std::string& body = {});

// The Origin header line the page's own forms carry: the web listener takes forms from it only.
std::string OriginHeader(const std::string& web_base);
// Logs in to the web page with the login form; returns the "Cookie:" header line to send with
// later requests, or an empty string when the login failed (status receives its answer's status).
std::string WebLogin(const std::string& web_base, const std::string& user,
                     const std::string& password, long* status = nullptr);
// The value of the first hidden input named name in a page ("" when none).
std::string HiddenField(const std::string& html, const std::string& name);

// Signing as the REST clients do it: the Date text and the Authorization value.
std::string RequestDate();
std::string SignRequest(const std::string& secret, const std::string& token,
                        const std::string& verb, const std::string& date, int mount,
                        const std::string& request_path);
// A signed REST request with the built-in secret; request_path is sent exactly as given.
HttpResult SignedRequest(const std::string& api_host, const std::string& token,
                         const std::string& verb, int mount, const std::string& request_path,
                         const std::vector<std::string>& extra_headers = {},
                         const std::string& body = {});

// Sends bytes as they are to 127.0.0.1:port and returns everything answered until the peer
// closes or timeout_ms passes (for requests no HTTP client would send).
std::string RawHttp(uint16_t port, const std::string& bytes, int timeout_ms = 5000);
// The status code of the first status line of a raw answer, 0 when there is none.
int RawStatus(const std::string& answer);

// Percent-encodes every byte but ASCII letters and digits, like the REST clients.
std::string UrlEncode(const std::string& bytes);
// Reads a whole file; empty when missing.
std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);

}  // namespace zelmic_test
