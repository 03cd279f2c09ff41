#include "service/web/web_server.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "common/owned_digest.h"
#include "common/text_forms.h"
#include "service/http/api_request.h"
#include "service/http/http_util.h"
#include "service/http/peer_limit.h"
#include "service/store/paths.h"
#include "service/web/launch_url.h"
#include "service/web/page_headers.h"
#include "service/web/web_page.h"

namespace zelmic {

enum class WebRoute { None, AdminScript, Login, Logout, FormUpload };

namespace {
constexpr const char* kCookie = "zelmic_session";
// The notice of a form's outcome rides to the next page in this cookie rather than in the
// address, so that the address stays "/" and a reload does not show the notice again.
constexpr const char* kNoticeCookie = "zelmic_notice";
constexpr long kNoticeMaxAge = 60;
constexpr size_t kMaxNameKey = 256;
// The highest page number of a mount's files the page accepts (far beyond any real mount).
constexpr long long kMaxPage = 1000000;
}  // namespace

struct WebRequest : RequestState {
  ~WebRequest() override {
    if (post) MHD_destroy_post_processor(post);
    if (fd >= 0) close(fd);
    if (!staged.empty()) unlink(staged.c_str());
  }
  // Records the first failure only; later ones follow from it.
  void Fail(unsigned status, const std::string& message) {
    if (error_status == 0) {
      error_status = status;
      error = message;
    }
  }
  WebRoute route = WebRoute::None;
  std::set<std::string> allowed;  // field names the route takes
  std::optional<WebLogin> login;
  MHD_PostProcessor* post = nullptr;
  std::map<std::string, std::string> fields;
  uint64_t received = 0;  // body bytes so far
  uint64_t body_limit = 0;
  std::string filename;
  std::string staged;
  int fd = -1;
  uint64_t size = 0;
  plumet_common::DigestCtx sha1;
  unsigned error_status = 0;  // 4xx: the form is at fault; 5xx: the store
  std::string error;
  // A login's password check runs on the check threads while its connection is suspended; the
  // outcome is written before the state turns Done.
  enum class Check { None, Running, Done };
  std::atomic<Check> check{Check::None};
  unsigned pause_ms = 0;  // a scripted stall before the check
  std::optional<int64_t> user_id;
  int64_t epoch = 0;
  LoginThrottle::Clock::duration refused_for{0};  // refused unchecked: the time still to wait
  bool busy = false;                              // no place for the check
};

namespace {

const StateFactory kFactory{[]() -> RequestState* { return new WebRequest(); }};

MHD_Result Html(MHD_Connection* connection, unsigned status, const std::string& html,
                const std::string& set_cookie = {}) {
  MHD_Response* response = MHD_create_response_from_buffer(
      html.size(), const_cast<char*>(html.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/html; charset=utf-8");
  AddPageHeaders(response);
  if (!set_cookie.empty()) MHD_add_response_header(response, "Set-Cookie", set_cookie.c_str());
  MHD_Result r = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return r;
}

// A query argument, decoded ("+" is a space in forms).
std::string QueryArg(MHD_Connection* connection, const char* name) {
  const char* raw = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
  if (!raw) return {};
  std::string text(raw), decoded;
  for (char& c : text)
    if (c == '+') c = ' ';
  if (!PercentDecode(text, decoded)) return {};
  return decoded;
}

// 303 to location, optionally setting or clearing the session cookie.
MHD_Result SeeOther(MHD_Connection* connection, const std::string& location,
                    const std::string& set_cookie = {}) {
  MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION, location.c_str());
  AddPageHeaders(response);
  if (!set_cookie.empty()) MHD_add_response_header(response, "Set-Cookie", set_cookie.c_str());
  MHD_Result r = MHD_queue_response(connection, MHD_HTTP_SEE_OTHER, response);
  MHD_destroy_response(response);
  return r;
}

std::string CookieHeader(const std::string& value, bool secure, long max_age,
                         const char* name = kCookie) {
  return std::string(name) + "=" + value +
         "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" + std::to_string(max_age) +
         (secure ? "; Secure" : "");
}

MHD_Result CollectField(void* cls, MHD_ValueKind, const char* key, const char* filename,
                        const char*, const char*, const char* data, uint64_t, size_t size) {
  auto* r = static_cast<WebRequest*>(cls);
  const std::string name = key ? key : "";
  if (!r->allowed.count(name)) {
    r->Fail(400, "unexpected form field");
    return MHD_NO;
  }
  if (name == "file") {
    if (r->fd < 0) return MHD_NO;
    if (r->filename.empty() && filename) r->filename = filename;
    if (r->size + size > WebServer::kMaxUpload) {
      r->Fail(413, "the file is too large");
      return MHD_NO;
    }
    EVP_DigestUpdate(r->sha1.get(), data, size);
    if (write(r->fd, data, size) != static_cast<ssize_t>(size)) {
      r->Fail(500, "cannot store the upload");
      return MHD_NO;
    }
    r->size += size;
    return MHD_YES;
  }
  if (!r->fields.count(name) && r->fields.size() >= WebServer::kMaxFields) {
    r->Fail(400, "too many form fields");
    return MHD_NO;
  }
  std::string& value = r->fields[name];
  if (value.size() + size > WebServer::kMaxFieldSize) {
    r->Fail(413, "a form field is too long");
    return MHD_NO;
  }
  value.append(data, size);
  return MHD_YES;
}

bool SameToken(const std::string& a, const std::string& b) {
  return a.size() == b.size() && !a.empty() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

WebServer::WebServer(Store& store, FaultScript& faults, WebOptions options, ChecksumKeeper& keeper)
    : store_(store),
      faults_(faults),
      keeper_(keeper),
      options_(std::move(options)),
      sessions_(store.logins()) {}

WebServer::~WebServer() { Stop(); }

Status WebServer::Start(uint16_t port) {
  checks_.Open();
  Status started = StartLoopbackDaemon(port, &WebServer::Handle, this, &kFactory, daemon_);
  if (started.ok()) port_ = daemon_.port();
  return started;
}

void WebServer::Stop() {
  // Every suspended login is finished and resumed before the daemon may stop.
  checks_.Close();
  daemon_.Stop();
}

std::optional<WebLogin> WebServer::LoginOf(MHD_Connection* connection) {
  const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kCookie);
  if (!cookie) return std::nullopt;
  auto login = sessions_.Find(cookie);
  // A password change or a revoke, perhaps by another process, moves the user's generation on
  // in the database; a login from before it is over.
  if (login && store_.users().SessionEpoch(login->user_id) != login->epoch) {
    sessions_.Remove(cookie);
    return std::nullopt;
  }
  return login;
}

MHD_Result WebServer::Download(MHD_Connection* connection, const std::string& key, bool published,
                               bool head) {
  if (auto scripted = faults_.take("download")) {
    if (auto served = ServeScripted(connection, *scripted)) return *served;
  }
  // HEAD only looks: it does not use up a published link's downloads.
  auto target = published ? store_.collab().ResolvePublished(key, !head)
                          : store_.blobs().ResolveDownload(key);
  if (!target) return Answer(connection, 404, "not found\n", "text/plain");
  int fd = open(target->blob_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Answer(connection, 500, "content missing\n", "text/plain");
  MHD_Response* response = MHD_create_response_from_fd(static_cast<uint64_t>(target->size), fd);
  if (!response) {
    close(fd);
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/octet-stream");
  std::string disposition = "attachment; filename*=UTF-8''";
  static const char* hex = "0123456789ABCDEF";
  for (unsigned char c : target->filename) {
    if (isalnum(c) || c == '.' || c == '-' || c == '_') {
      disposition += static_cast<char>(c);
    } else {
      disposition += '%';
      disposition += hex[c >> 4];
      disposition += hex[c & 15];
    }
  }
  MHD_add_response_header(response, "Content-Disposition", disposition.c_str());
  MHD_Result r = MHD_queue_response(connection, 200, response);
  MHD_destroy_response(response);
  // An edit starts with this download and saves back a delta on this content.
  if (!published && !head) {
    keeper_.Prepare(
        StoredContent{target->blob_path, static_cast<uint64_t>(target->size), target->filehash});
  }
  return r;
}

MHD_Result WebServer::EditLink(MHD_Connection* connection) {
  auto login = LoginOf(connection);
  if (!login) return Html(connection, 403, RenderLoginPage("Log in first."));
  long long mount = 0;
  const std::string path = QueryArg(connection, "path");
  if (!ParseInt(QueryArg(connection, "mount"), INT32_MIN, INT32_MAX, mount) ||
      !store_.users().HasGrant(login->user_id, static_cast<int>(mount)))
    return Answer(connection, 403, "no access to this mount\n", "text/plain");
  if (!store_.files().GetFile(static_cast<int>(mount), path))
    return Answer(connection, 404, "no such file\n", "text/plain");
  std::string token;
  if (Status e = store_.users().LinkTokenFor(login->user_id, static_cast<int>(mount), path, token);
      !e.ok())
    return Answer(connection, e.http_status(), e.message() + "\n", "text/plain");
  return SeeOther(connection, MakeLaunchUrl(static_cast<int>(mount), path, token));
}

MHD_Result WebServer::Handle(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char* upload_data,
                             size_t* upload_data_size, void** con_cls) {
  auto* self = static_cast<WebServer*>(cls);
  auto* request = static_cast<WebRequest*>(*con_cls);
  if (!request->started) {
    request->started = true;
    return self->Start(connection, url, method, *request);
  }
  if (*upload_data_size != 0) {
    request->received += *upload_data_size;
    // A body without a declared length can still not run on: past the limit the connection goes.
    if (request->received > request->body_limit) return MHD_NO;
    if (request->route == WebRoute::AdminScript) {
      CollectBody(*request, upload_data, *upload_data_size, size_t{64} * 1024);
    } else if (request->post && request->error_status == 0) {
      if (MHD_post_process(request->post, upload_data, *upload_data_size) != MHD_YES)
        request->Fail(400, "malformed form");
    }
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (request->answered) return MHD_YES;
  return self->Finish(connection, *request);
}

MHD_Result WebServer::Start(MHD_Connection* connection, const std::string& url,
                            const std::string& method, WebRequest& request) {
  auto refuse = [&](unsigned status, const std::string& text) {
    request.answered = true;
    return Answer(connection, status, text, "text/plain");
  };
  if (url.rfind("/admin/", 0) == 0 && options_.faults) {
    if (!PeerIsLoopback(connection)) return refuse(403, "forbidden\n");
    if (method != "POST") return refuse(405, "POST only\n");
    if (url == "/admin/clear") {
      faults_.clear();
      request.answered = true;
      return Answer(connection, 200, "{}", "application/json");
    }
    if (url == "/admin/pending") {
      // Whether a scripted answer still waits for its request: a test learns that the request it
      // stalls has arrived without guessing a time.
      request.answered = true;
      const bool waiting = faults_.pending(QueryArg(connection, "endpoint"));
      return Answer(connection, 200, waiting ? "{\"pending\":true}" : "{\"pending\":false}",
                    "application/json");
    }
    if (url == "/admin/script") {
      request.route = WebRoute::AdminScript;
      request.body_limit = 64 * 1024 + 1;
      return MHD_YES;
    }
  } else if (method == "GET" || method == "HEAD") {
    if (url == "/") {
      request.answered = true;
      const char* notice_key =
          MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kNoticeCookie);
      const std::string notice = NoticeText(notice_key ? notice_key : "");
      auto login = LoginOf(connection);
      long long mount = 0, page = 0;
      if (!ParseInt(QueryArg(connection, "mount"), INT32_MIN, INT32_MAX, mount) ||
          !ParseInt(QueryArg(connection, "page"), 0, kMaxPage, page))
        mount = page = 0;
      // Shown once: the answer ends the notice's cookie.
      return Html(connection, 200,
                  login ? RenderUserPage(store_, *login, notice, static_cast<int>(mount),
                                         static_cast<int>(page))
                        : RenderLoginPage(notice),
                  notice_key ? CookieHeader("", options_.secure_cookie, 0, kNoticeCookie) : "");
    }
    if (url == "/edit" && method == "GET") {  // a look (HEAD) mints nothing
      request.answered = true;
      return EditLink(connection);
    }
    for (const auto& [prefix, published] :
         {std::pair{"/download/", false}, std::pair{"/s/", true}}) {
      const std::string p(prefix);
      if (url.rfind(p, 0) == 0) {
        request.answered = true;
        return Download(connection, url.substr(p.size()), published, method == "HEAD");
      }
    }
  } else if (method == "POST" && (url == "/login" || url == "/logout" || url == "/upload")) {
    const bool upload = url == "/upload";
    request.route = upload            ? WebRoute::FormUpload
                    : url == "/login" ? WebRoute::Login
                                      : WebRoute::Logout;
    request.allowed = upload            ? std::set<std::string>{"csrf", "mount", "folder", "file"}
                      : url == "/login" ? std::set<std::string>{"user", "password"}
                                        : std::set<std::string>{"csrf"};
    request.body_limit = (upload ? kMaxUpload : 0) + kMaxFormOverhead;
    if (auto length = HeaderValue(connection, "Content-Length")) {
      long long n = 0;
      if (!ParseInt(*length, 0, INT64_MAX, n)) return refuse(400, "bad Content-Length\n");
      if (static_cast<unsigned long long>(n) > request.body_limit)
        return refuse(413, "the form is too large\n");
    }
    // Cookies ride along with a form another site makes the browser send; its Origin does not.
    if (!FromOwnPage(connection))
      return refuse(403, "forms are taken from this site's page only\n");
    if (request.route != WebRoute::Login) {
      request.login = LoginOf(connection);
      if (!request.login) {
        request.answered = true;
        return Html(connection, 403, RenderLoginPage("Log in first."));
      }
    }
    request.post =
        MHD_create_post_processor(connection, size_t{16} * 1024, &CollectField, &request);
    if (!request.post) {
      request.answered = true;
      return Html(connection, 400, RenderLoginPage("The form must be sent as a form."));
    }
    if (!upload) return MHD_YES;
    // The staging file is opened up front; an upload without a file simply leaves it empty. It
    // is locked while this request owns it, so the start-up sweep of another process leaves it.
    request.staged = store_.staging_dir() + "/web-XXXXXX";
    request.fd = mkostemp(request.staged.data(), O_CLOEXEC);
    request.sha1 = plumet_common::NewDigest(EVP_sha1());
    if (request.fd < 0 || flock(request.fd, LOCK_EX | LOCK_NB) != 0 || !request.sha1) {
      if (request.fd < 0) request.staged.clear();
      request.answered = true;
      return Html(connection, 500,
                  RenderUserPage(store_, *request.login, "Cannot store uploads right now."));
    }
    return MHD_YES;
  }
  return refuse(404, "not found\n");
}

MHD_Result WebServer::Finish(MHD_Connection* connection, WebRequest& request) {
  if (request.route == WebRoute::AdminScript) {
    if (request.too_large)
      return Answer(connection, 413, "{\"error\":\"too large\"}", "application/json");
    std::string endpoint;
    ScriptedAnswer answer;
    if (Status bad = ParseScriptedAnswer(request.body, endpoint, answer); !bad.ok()) {
      JsonPtr root = MakeJson(cJSON_CreateObject());
      cJSON_AddStringToObject(root.get(), "error", bad.message().c_str());
      return AnswerJson(connection, 400, root.get());
    }
    faults_.push(endpoint, answer);
    return Answer(connection, 200, "{}", "application/json");
  }
  // The last field of an urlencoded form is delivered when its processor ends.
  if (request.post) {
    if (MHD_destroy_post_processor(request.post) != MHD_YES) request.Fail(400, "malformed form");
    request.post = nullptr;
  }
  if (request.route == WebRoute::Login) return FinishLogin(connection, request);
  if (!SameToken(request.fields["csrf"], request.login->csrf)) {
    return Html(connection, 403,
                RenderUserPage(store_, *request.login, "The form has expired; please try again."));
  }
  if (request.route == WebRoute::Logout) {
    const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kCookie);
    if (cookie) sessions_.Remove(cookie);
    return SeeOther(connection, "/", CookieHeader("", options_.secure_cookie, 0));
  }
  return FinishUpload(connection, request);
}

MHD_Result WebServer::FinishLogin(MHD_Connection* connection, WebRequest& request) {
  if (request.check == WebRequest::Check::Done) return AnswerLogin(connection, request);
  if (request.check == WebRequest::Check::Running) return MHD_YES;
  if (request.error_status != 0)
    return Html(connection, request.error_status,
                RenderLoginPage("Login failed: " + request.error));
  const std::string& user = request.fields["user"];
  if (user.empty() || request.fields["password"].empty()) return AnswerLogin(connection, request);
  // A name's key is cut short: no stored name is that long, and the table stays small.
  std::vector<std::string> keys = {"name " + user.substr(0, kMaxNameKey)};
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info != nullptr && info->client_addr != nullptr) {
    const sockaddr* addr = info->client_addr;
    const socklen_t size = addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    keys.push_back("peer " + PeerOf(addr, size, port_.load()));
  }
  // Refused at once while locked out: no derivation is spent on a guess.
  request.refused_for = throttle_.Wait(keys, LoginThrottle::Clock::now());
  if (request.refused_for.count() > 0) return AnswerLogin(connection, request);
  if (auto scripted = faults_.take("login")) {
    if (scripted->kind == ScriptedAnswer::Kind::Stall)
      request.pause_ms = scripted->stall_ms;
    else if (auto served = ServeScripted(connection, *scripted))
      return *served;
  }
  request.busy = !checks_.Reserve();
  if (request.busy) return AnswerLogin(connection, request);
  request.check = WebRequest::Check::Running;
  MHD_suspend_connection(connection);
  checks_.Submit([this, connection, &request, keys] {
    CheckLogin(request, keys);
    request.check = WebRequest::Check::Done;
    MHD_resume_connection(connection);
  });
  return MHD_YES;
}

void WebServer::CheckLogin(WebRequest& request, const std::vector<std::string>& keys) {
  if (request.pause_ms != 0) checks_.Pause(std::chrono::milliseconds(request.pause_ms));
  // Guesses queued behind the failures of the same keys are refused when their turn comes.
  request.refused_for = throttle_.Wait(keys, LoginThrottle::Clock::now());
  if (request.refused_for.count() > 0) return;
  request.user_id = store_.users().CheckPassword(request.fields["user"], request.fields["password"],
                                                 &request.epoch);
  // A success forgets the name's failures only: logging in to one's own account does not wipe
  // the failures of guesses at other names from the same client.
  if (request.user_id)
    throttle_.Succeeded(keys.front());
  else
    throttle_.Failed(keys, LoginThrottle::Clock::now());
}

MHD_Result WebServer::AnswerLogin(MHD_Connection* connection, WebRequest& request) {
  if (request.busy)
    return Html(connection, 503, RenderLoginPage("Too many logins at once; please try again."));
  if (request.refused_for.count() > 0) {
    const auto wait = std::chrono::ceil<std::chrono::seconds>(request.refused_for).count();
    return Html(
        connection, 429,
        RenderLoginPage("Too many failed logins; try again in " + std::to_string(wait) + " s."));
  }
  if (!request.user_id)
    return Html(connection, 401, RenderLoginPage("Wrong user name or password."));
  WebLogin login;
  const std::string cookie =
      sessions_.Create(*request.user_id, request.fields["user"], request.epoch, login);
  if (cookie.empty())
    return Html(connection, 503, RenderLoginPage("Cannot log in now; please try again."));
  return SeeOther(
      connection, "/",
      CookieHeader(
          cookie, options_.secure_cookie,
          std::chrono::duration_cast<std::chrono::seconds>(WebSessions::kLifetime).count()));
}

std::string OriginOf(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos || scheme == 0) return {};
  const size_t end = url.find_first_of("/?#", scheme + 3);
  std::string origin = url.substr(0, end);
  return origin.size() > scheme + 3 ? origin : std::string();
}

bool WebServer::FromOwnPage(MHD_Connection* connection) const {
  const auto origin = HeaderValue(connection, "Origin");
  if (!origin) return false;
  if (!options_.public_origin.empty() && *origin == options_.public_origin) return true;
  const std::string scheme = options_.secure_cookie ? "https://" : "http://";
  const std::string port = ":" + std::to_string(port_.load());
  if (*origin == scheme + "127.0.0.1" + port || *origin == scheme + "localhost" + port) return true;
  // Over plain HTTP any name may be made to resolve to loopback (rebinding), so only the loopback
  // names count; under TLS the browser reached the name its Host gives through the certificate.
  const auto host = HeaderValue(connection, "Host");
  return options_.secure_cookie && host && *origin == scheme + *host;
}

MHD_Result WebServer::FinishUpload(MHD_Connection* connection, WebRequest& request) {
  const WebLogin& login = *request.login;
  auto back = [&](unsigned status, const std::string& notice) {
    return Html(connection, status, RenderUserPage(store_, login, notice));
  };
  if (request.error_status != 0)
    return back(request.error_status, "Upload failed: " + request.error);
  long long mount = 0;
  if (!ParseInt(request.fields["mount"], INT32_MIN, INT32_MAX, mount))
    return back(400, "Upload failed: bad mount.");
  if (!store_.users().HasGrant(login.user_id, static_cast<int>(mount)))
    return back(403, "Upload failed: no access to mount " + std::to_string(mount) + ".");
  std::string name = request.filename;
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  std::string path;
  const bool plain_name = !name.empty() && name.find('/') == std::string::npos;
  Status resolved;
  if (plain_name)
    resolved =
        ResolvePath(request.fields.count("folder") ? request.fields["folder"] : "/", name, path);
  if (!plain_name || !resolved.ok() || !IsInside(path, "/"))
    return back(400, "Upload failed: " +
                         (resolved.ok() ? std::string("choose a file") : resolved.message()));
  if (!IsValidUtf8(path)) return back(400, "Upload failed: the name is not UTF-8.");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(request.sha1.get(), digest, &len);
  if (fsync(request.fd) != 0) return back(500, "Upload failed: cannot store the file.");
  const std::string filehash = plumet_text::HexLower(digest, len);
  int version = 0;
  Status e = store_.files().CommitContent(login.user_id, static_cast<int>(mount), path,
                                          request.staged, filehash, request.size, "web", version);
  if (!e.ok()) return back(e.http_status(), "Upload failed: " + e.message());
  request.staged.clear();  // moved into the store
  keeper_.Prepare(StoredContent{store_.blobs().BlobPath(filehash), request.size, filehash});
  // Post/redirect/get: reloading the page must not send the file again.
  return SeeOther(connection, "/",
                  CookieHeader("stored", options_.secure_cookie, kNoticeMaxAge, kNoticeCookie));
}

}  // namespace zelmic
