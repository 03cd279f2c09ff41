// zelmicd's form readers behind libmicrohttpd, as a client reaches them: the web page's login,
// upload and logout forms (multipart or URL-encoded), its query and download locations, and the
// token form of "/oauth/token". Each input is a short visit of one browser: byte 0 picks how it
// logs in, and the rest is up to four requests separated by kSeparator, each led by a byte that
// picks the request. The page's forms carry the session cookie and the CSRF field of the login
// (unless byte 0 says otherwise), so their bodies are read past the session and CSRF checks.
//   byte 0 == 0xFF:       the first request is a login form as the input wrote it; when it is
//                         accepted, its session carries the following forms and is ended after.
//   byte 0 & 3 == 3:      "ann" logs in first, with her password when bit 2 is set, else with a
//                         wrong one (which leaves the visit without a session).
//   otherwise:            the session this process logged in with at start.
//   bit 3 / bit 4:        (not for 0xFF) the forms go without our CSRF field / without a cookie.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/endpoints.h"
#include "common/text_forms.h"
#include "service/http/faults.h"
#include "service/http/token_server.h"
#include "service/store/store.h"
#include "service/web/web_server.h"
#include "tests/fuzz/fuzz_reach.h"
#include "tests/support/scratch_dir.h"

namespace {

constexpr const char* kBoundary = "plumetfuzzboundary";
constexpr const char* kSeparator = "\n--next-request--\n";
constexpr const char* kUser = "ann";
constexpr const char* kPassword = "fuzz-pass-0";
constexpr int kMount = 1;

fuzz_reach::Counter logins("logins_accepted");
fuzz_reach::Counter formsRead("forms_past_session_and_csrf");
fuzz_reach::Counter uploads("uploads_stored");

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

struct Reply {
  int status = 0;
  std::string head;  // status line and headers
  std::string body;
  // A header's value (name matched case-insensitively), or empty.
  std::string Header(const std::string& name) const {
    std::string lower;
    for (char c : head) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string key = "\r\n" + name + ": ";
    const size_t at = lower.find(key);
    if (at == std::string::npos) return {};
    const size_t from = at + key.size();
    return head.substr(from, head.find("\r\n", from) - from);
  }
};

// Sends `request` to 127.0.0.1:port and reads until the server closes (bounded).
Reply Exchange(uint16_t port, const std::string& raw) {
  // A form is taken from the page's own origin only: every POST carries it after its first line.
  std::string request = raw;
  if (request.rfind("POST ", 0) == 0 && request.find("\r\n") != std::string::npos)
    request.insert(request.find("\r\n") + 2,
                   "Origin: http://127.0.0.1:" + std::to_string(port) + "\r\n");
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) __builtin_trap();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) __builtin_trap();
  // An answer written in pieces would otherwise wait for our delayed acknowledgement each time.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may answer and close before the whole body arrived
    sent += static_cast<size_t>(n);
  }
  // Every request declares its length and asks to close, so the server answers and closes
  // first; we then reset rather than close. A socket left in TIME_WAIT by each of the several
  // exchanges of every input would use up the loopback's ephemeral ports within a minute.
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  std::string answer;
  char buffer[4096];
  for (int rounds = 0; rounds < 1000; ++rounds) {
    pollfd p{fd, POLLIN, 0};
    // A login with an unknown name runs the full-cost decoy derivation on the listener's one
    // thread, which on a loaded machine takes seconds; later answers queue behind it.
    if (::poll(&p, 1, 15000) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  ::close(fd);
  Reply reply;
  const size_t end = answer.find("\r\n\r\n");
  reply.head = answer.substr(0, end);
  if (end != std::string::npos) reply.body = answer.substr(end + 4);
  if (reply.head.rfind("HTTP/1.", 0) == 0 && reply.head.size() >= 12)
    reply.status = std::atoi(reply.head.c_str() + 9);
  return reply;
}

std::string Multipart() { return std::string("multipart/form-data; boundary=") + kBoundary; }

std::string Post(const std::string& target, const std::string& type, const std::string& cookie,
                 const std::string& body) {
  return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + type +
         (cookie.empty() ? "" : "\r\nCookie: zelmic_session=" + cookie) +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

std::string Get(const std::string& method, const std::string& target, const std::string& cookie) {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1" +
         (cookie.empty() ? "" : "\r\nCookie: zelmic_session=" + cookie) +
         "\r\nConnection: close\r\n\r\n";
}

struct Login {
  std::string cookie;
  std::string csrf;
};

struct Service {
  Service() {
    // On tmpfs where there is one: the store syncs every commit, which a disk makes slow.
    root = plumet_test::MakeScratchFolder("plumet-fuzz-forms", "/dev/shm");
    if (root.empty()) root = plumet_test::MakeScratchFolder("plumet-fuzz-forms");
    if (root.empty()) __builtin_trap();
    const std::string dir = root + "/data";
    std::string refresh;
    if (!zelmic::Store::Create(dir).ok()) __builtin_trap();
    if (!zelmic::Store::Open(dir, store).ok()) __builtin_trap();
    if (!store || !store->users().AddUser(kUser, {kMount}, refresh).ok()) __builtin_trap();
    user_id = store->users().FindUser(kUser).value_or(0);
    StoreCheapPassword(dir + "/zelmic.db");
    token = std::make_unique<zelmic::TokenServer>(*store, faults, plumet_defaults::kClientId,
                                                  plumet_defaults::kClientSecret);
    keeper = std::make_unique<zelmic::ChecksumKeeper>(dir);
    web = std::make_unique<zelmic::WebServer>(*store, faults, zelmic::WebOptions{}, *keeper);
    if (!token->Start(0).ok() || !web->Start(0).ok()) __builtin_trap();
    session = LogIn("user=" + std::string(kUser) + "&password=" + kPassword,
                    "application/x-www-form-urlencoded");
    if (!session) __builtin_trap();
  }
  ~Service() {
    web.reset();
    keeper.reset();
    token.reset();
    store.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  // The password entry carries its own scrypt cost. At the cost a new password gets, every login
  // takes most of a second here; this entry, in the same form at the lowest cost, lets inputs
  // log in as often as they like. (Unknown names still pay the full cost of the decoy check.)
  void StoreCheapPassword(const std::string& db_path) {
    const unsigned char salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    unsigned char digest[32];
    if (EVP_PBE_scrypt(kPassword, std::strlen(kPassword), salt, sizeof salt, 16, 1, 1, 0, digest,
                       sizeof digest) != 1)
      __builtin_trap();
    const std::string entry = "scrypt$16$1$1$" + plumet_text::HexLower(salt, sizeof salt) + "$" +
                              plumet_text::HexLower(digest, sizeof digest);
    sqlite3* db = nullptr;
    sqlite3_stmt* put = nullptr;
    if (sqlite3_open(db_path.c_str(), &db) != SQLITE_OK ||
        sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO passwords(user_id, hash) VALUES(?, ?)", -1,
                           &put, nullptr) != SQLITE_OK ||
        sqlite3_bind_int64(put, 1, user_id) != SQLITE_OK ||
        sqlite3_bind_text(put, 2, entry.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_step(put) != SQLITE_DONE)
      __builtin_trap();
    sqlite3_finalize(put);
    sqlite3_close(db);
  }

  // Sends a login form; on success, reads the CSRF field of the page the login leads to.
  std::optional<Login> LogIn(const std::string& body, const std::string& type,
                             long* status = nullptr) {
    const Reply reply = Exchange(web->port(), Post("/login", type, "", body));
    if (status != nullptr) *status = reply.status;
    const std::string set = reply.Header("set-cookie");
    const std::string prefix = "zelmic_session=";
    if (reply.status != 303 || set.rfind(prefix, 0) != 0 || set.size() <= prefix.size() ||
        set[prefix.size()] == ';')
      return std::nullopt;
    logins.Hit();
    Login login;
    login.cookie = set.substr(prefix.size(), set.find(';') - prefix.size());
    const Reply page = Exchange(web->port(), Get("GET", "/", login.cookie));
    const std::string field = "name=\"csrf\" value=\"";
    const size_t at = page.body.find(field);
    // A session whose page has no CSRF field would make every form fail its check.
    Require(page.status == 200 && at != std::string::npos);
    const size_t from = at + field.size();
    login.csrf = page.body.substr(from, page.body.find('"', from) - from);
    Require(!login.csrf.empty());
    return login;
  }

  // Keeps the page, which lists every file, and so each answer that shows it, small.
  void Prune() {
    const std::vector<zelmic::FileRecord> files = store->files().FilesOf(kMount);
    if (files.size() < 32) return;
    for (const auto& f : files) {
      int version = 0;
      (void)store->files().Delete(user_id, kMount, f.path, version);
    }
  }

  std::string root;
  zelmic::FaultScript faults;
  std::unique_ptr<zelmic::Store> store;
  int64_t user_id = 0;
  std::unique_ptr<zelmic::TokenServer> token;
  std::unique_ptr<zelmic::ChecksumKeeper> keeper;
  std::unique_ptr<zelmic::WebServer> web;
  std::optional<Login> session;  // this process's own login, used by most inputs
};

std::vector<std::string> Requests(const std::string& text) {
  std::vector<std::string> out;
  const std::string separator = kSeparator;
  size_t start = 0;
  while (out.size() < 4) {
    const size_t at = text.find(separator, start);
    out.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + separator.size();
  }
  return out;
}

}  // namespace

// The listeners end each connection on a thread of their own, after the input has returned: a
// leak check between inputs would meet those threads half-way through their exit (OpenSSL's
// per-thread state in flight) and report it. Leaks are checked at exit instead, once the
// listeners have stopped and joined every connection thread.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args;
  args.assign(*argv, *argv + *argc);
  static char noPerInputLeakCheck[] = "-detect_leaks=0";
  args.insert(args.begin() + 1, noPerInputLeakCheck);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size() - 1);
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Service service;
  if (size == 0) return 0;
  const uint8_t how = data[0];
  std::vector<std::string> requests =
      Requests(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  const uint16_t web = service.web->port();
  const std::string urlencoded = "application/x-www-form-urlencoded";

  // The login the forms carry: the process's own, one of this visit (ended with it), or none.
  if (!service.session) {
    service.session =
        service.LogIn("user=" + std::string(kUser) + "&password=" + kPassword, urlencoded);
  }
  std::optional<Login> login = service.session;
  std::optional<Login> fresh;
  bool withCsrf = true;
  if (how == 0xFF) {
    const std::string form = requests.front();
    requests.erase(requests.begin());
    const bool multipart = !form.empty() && (form[0] & 1);
    fresh =
        service.LogIn(form.empty() ? form : form.substr(1), multipart ? Multipart() : urlencoded);
    login = fresh;
  } else {
    if ((how & 3) == 3) {
      const bool right = how & 4;
      long status = 0;
      fresh =
          service.LogIn("user=" + std::string(kUser) + "&password=" + (right ? kPassword : "wrong"),
                        urlencoded, &status);
      // A wrong password never logs in; the right one always does, unless failed logins before it
      // have the name locked out for a while (429, answered without looking at the password).
      Require(fresh.has_value() == right || (!fresh && status == 429));
      login = fresh;
    }
    withCsrf = !(how & 8);
    if (how & 16) login.reset();
  }
  const std::string cookie = login ? login->cookie : "";
  const std::string csrf = login && withCsrf ? login->csrf : "";

  for (const std::string& request : requests) {
    if (request.empty()) continue;
    const uint8_t pick = static_cast<uint8_t>(request[0]) % 8;
    const std::string body = request.substr(1);
    const bool multipart = pick == 0 || pick == 3 || pick == 6;
    const std::string type = multipart ? Multipart() : urlencoded;
    // Our CSRF field goes first; a field the input adds after it is appended to it.
    std::string form = body;
    if (!csrf.empty()) {
      form = multipart ? std::string("--") + kBoundary +
                             "\r\nContent-Disposition: form-data; name=\"csrf\"\r\n\r\n" + csrf +
                             "\r\n" + body
                       : "csrf=" + csrf + "&" + body;
    }
    if (pick <= 3) {
      const bool upload = pick <= 1;
      const Reply reply = Exchange(web, Post(upload ? "/upload" : "/logout", type, cookie, form));
      // Past the session and CSRF checks a form either succeeds (303) or fails for what it
      // holds; before them it is refused with the login page or "the form has expired".
      const bool past =
          reply.status == 303 || (upload && reply.body.find("Upload failed:") != std::string::npos);
      if (past) {
        formsRead.Hit();
        // Nothing is read without a session, nor without its CSRF field (ours, or one the input
        // could only have copied from the page).
        Require(login.has_value());
        Require(withCsrf || body.find(login->csrf) != std::string::npos);
      }
      // A live session is never taken for a missing one.
      Require(
          !(login && reply.status == 403 && reply.body.find("Log in first.") != std::string::npos));
      if (reply.status == 303 && upload) {
        // The notice travels in a short cookie; the address stays clean.
        Require(reply.Header("location") == "/");
        uploads.Hit();
      }
      if (reply.status == 303 && !upload) {
        // Logged out: the session is gone, so a further form with its cookie is refused.
        const Reply again =
            Exchange(web, Post("/logout", urlencoded, cookie, "csrf=" + login->csrf));
        Require(again.status == 403);
        if (fresh && fresh->cookie == cookie) {
          fresh.reset();
        } else {
          service.session.reset();
        }
        break;
      }
    } else if (pick == 4) {
      // The page's query: the body goes into the request target as it is, up to a line break.
      Exchange(web, Get("GET", "/?" + body.substr(0, body.find_first_of("\r\n ")), cookie));
    } else if (pick == 5) {
      // A download location or published key, read by the same listener.
      const std::string target = body.substr(0, body.find_first_of("\r\n "));
      Exchange(web, Get(request[0] & 8 ? "HEAD" : "GET",
                        (request[0] & 16 ? "/s/" : "/download/") + target, cookie));
    } else {
      Exchange(service.token->port(), Post("/oauth/token", type, "", body));
    }
  }
  // A visit's own login ends with it, so the process's session never becomes the oldest of too
  // many logins of one user (which would drop it).
  if (fresh) {
    const Reply reply =
        Exchange(web, Post("/logout", urlencoded, fresh->cookie, "csrf=" + fresh->csrf));
    Require(reply.status == 303);
  }
  service.Prune();
  return 0;
}
