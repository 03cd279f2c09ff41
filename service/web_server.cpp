#include "service/web_server.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "service/http_util.h"
#include "service/paths.h"
#include "service/web_page.h"
#include "common/text_forms.h"

namespace zelmic {

enum class WebRoute { None, AdminScript, FormUpload };

struct WebRequest : RequestState {
  ~WebRequest() override {
    if (post) MHD_destroy_post_processor(post);
    if (fd >= 0) close(fd);
    if (!staged.empty()) unlink(staged.c_str());
    if (sha1) EVP_MD_CTX_free(sha1);
  }
  WebRoute route = WebRoute::None;
  MHD_PostProcessor* post = nullptr;
  std::map<std::string, std::string> fields;
  std::string filename;
  std::string staged;
  int fd = -1;
  uint64_t size = 0;
  EVP_MD_CTX* sha1 = nullptr;
  std::string error;
};

namespace {

const StateFactory kFactory{[]() -> RequestState* { return new WebRequest(); }};

MHD_Result Html(MHD_Connection* connection, unsigned status, const std::string& html) {
  return Answer(connection, status, html, "text/html; charset=utf-8");
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

std::string FormEncode(const std::string& text) { return plumet_text::PercentEncode(text); }

MHD_Result CollectUploadField(void* cls, MHD_ValueKind, const char* key, const char* filename,
                              const char*, const char*, const char* data, uint64_t, size_t size) {
  auto* r = static_cast<WebRequest*>(cls);
  const std::string name = key ? key : "";
  if (name == "file") {
    if (r->fd < 0) return MHD_NO;
    if (r->filename.empty() && filename) r->filename = filename;
    if (r->size + size > WebServer::kMaxUpload) {
      r->error = "the file is too large";
      return MHD_NO;
    }
    EVP_DigestUpdate(r->sha1, data, size);
    if (write(r->fd, data, size) != static_cast<ssize_t>(size)) {
      r->error = "cannot store the upload";
      return MHD_NO;
    }
    r->size += size;
    return MHD_YES;
  }
  std::string& value = r->fields[name];
  if (value.size() + size > 4096) {
    r->error = "a form field is too long";
    return MHD_NO;
  }
  value.append(data, size);
  return MHD_YES;
}

}  // namespace

WebServer::WebServer(Store& store, FaultScript& faults) : store_(store), faults_(faults) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::Start(uint16_t port, std::string& error) {
  daemon_ = StartLoopbackDaemon(port, &WebServer::Handle, this, &kFactory, error);
  if (!daemon_) return false;
  port_ = DaemonPort(daemon_);
  return true;
}

void WebServer::Stop() {
  if (daemon_) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

MHD_Result WebServer::Download(MHD_Connection* connection, const std::string& key, bool published) {
  if (auto scripted = faults_.take("download")) {
    if (auto served = ServeScripted(connection, *scripted)) return *served;
  }
  auto target = published ? store_.ResolvePublished(key) : store_.ResolveDownload(key);
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
  return r;
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
    if (request->route == WebRoute::AdminScript) {
      CollectBody(*request, upload_data, *upload_data_size, 64 * 1024);
    } else if (request->route == WebRoute::FormUpload && request->error.empty()) {
      if (MHD_post_process(request->post, upload_data, *upload_data_size) != MHD_YES &&
          request->error.empty())
        request->error = "malformed form";
    }
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (request->answered) return MHD_YES;
  return self->Finish(connection, *request);
}

MHD_Result WebServer::Start(MHD_Connection* connection, const std::string& url,
                            const std::string& method, WebRequest& request) {
  if (url.rfind("/admin/", 0) == 0) {
    if (!PeerIsLoopback(connection)) {
      request.answered = true;
      return Answer(connection, 403, "forbidden\n", "text/plain");
    }
    if (method != "POST") {
      request.answered = true;
      return Answer(connection, 405, "POST only\n", "text/plain");
    }
    if (url == "/admin/clear") {
      faults_.clear();
      request.answered = true;
      return Answer(connection, 200, "{}", "application/json");
    }
    if (url == "/admin/script") {
      request.route = WebRoute::AdminScript;
      return MHD_YES;
    }
  } else if (method == "GET" || method == "HEAD") {
    if (url == "/") {
      request.answered = true;
      const std::string user = QueryArg(connection, "user");
      const std::string notice = QueryArg(connection, "notice");
      return Html(connection, 200,
                  user.empty() ? RenderWelcomePage(notice) : RenderUserPage(store_, user, notice));
    }
    for (const auto& [prefix, published] : {std::pair{"/download/", false}, std::pair{"/s/", true}}) {
      const std::string p(prefix);
      if (url.rfind(p, 0) == 0) {
        request.answered = true;
        return Download(connection, url.substr(p.size()), published);
      }
    }
  } else if (method == "POST" && url == "/upload") {
    request.route = WebRoute::FormUpload;
    request.post = MHD_create_post_processor(connection, 64 * 1024, &CollectUploadField, &request);
    if (!request.post) {
      request.answered = true;
      return Html(connection, 400, RenderWelcomePage("The upload must be a multipart form."));
    }
    // The staging file is opened up front; an upload without a file simply leaves it empty.
    request.staged = store_.staging_dir() + "/web-XXXXXX";
    request.fd = mkstemp(request.staged.data());
    request.sha1 = EVP_MD_CTX_new();
    if (request.fd < 0 || !request.sha1 || EVP_DigestInit_ex(request.sha1, EVP_sha1(), nullptr) != 1) {
      request.staged.clear();
      request.answered = true;
      return Html(connection, 500, RenderWelcomePage("Cannot store uploads right now."));
    }
    return MHD_YES;
  }
  request.answered = true;
  return Answer(connection, 404, "not found\n", "text/plain");
}

MHD_Result WebServer::Finish(MHD_Connection* connection, WebRequest& request) {
  if (request.route == WebRoute::AdminScript) {
    if (request.too_large) return Answer(connection, 413, "{\"error\":\"too large\"}", "application/json");
    std::string endpoint, error;
    ScriptedAnswer answer;
    if (!ParseScriptedAnswer(request.body, endpoint, answer, error)) {
      JsonPtr root = MakeJson(cJSON_CreateObject());
      cJSON_AddStringToObject(root.get(), "error", error.c_str());
      return AnswerJson(connection, 400, root.get());
    }
    faults_.push(endpoint, answer);
    return Answer(connection, 200, "{}", "application/json");
  }
  // Form upload.
  const std::string user = request.fields["user"];
  auto back = [&](unsigned status, const std::string& notice) {
    return Html(connection, status,
                user.empty() ? RenderWelcomePage(notice) : RenderUserPage(store_, user, notice));
  };
  if (!request.error.empty()) return back(400, "Upload failed: " + request.error);
  auto user_id = store_.FindUser(user);
  if (!user_id) return Html(connection, 400, RenderWelcomePage("Upload failed: unknown user."));
  long long mount = 0;
  try {
    size_t used = 0;
    mount = std::stoll(request.fields["mount"], &used);
    if (used != request.fields["mount"].size()) return back(400, "Upload failed: bad mount.");
  } catch (...) {
    return back(400, "Upload failed: bad mount.");
  }
  if (!store_.HasGrant(*user_id, static_cast<int>(mount)))
    return back(403, "Upload failed: no access to mount " + std::to_string(mount) + ".");
  std::string name = request.filename;
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  std::string path, error;
  if (name.empty() || name.find('/') != std::string::npos ||
      !ResolvePath(request.fields.count("folder") ? request.fields["folder"] : "/", name, path, error) ||
      !IsInside(path, "/"))
    return back(400, "Upload failed: " + (error.empty() ? std::string("choose a file") : error));
  if (!IsValidUtf8(path)) return back(400, "Upload failed: the name is not UTF-8.");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(request.sha1, digest, &len);
  if (fsync(request.fd) != 0) return back(500, "Upload failed: cannot store the file.");
  close(request.fd);
  request.fd = -1;
  const std::string filehash = plumet_text::HexLower(digest, len);
  int version = 0;
  ApiError e = store_.CommitContent(*user_id, static_cast<int>(mount), path, request.staged,
                                    filehash, request.size, "web", version);
  if (e) return back(e.status, "Upload failed: " + e.msg);
  request.staged.clear();  // moved into the store
  // Post/redirect/get: reloading the page must not send the file again.
  const std::string location = "/?user=" + FormEncode(user) + "&notice=" +
                               FormEncode("Stored " + path + " as version " + std::to_string(version) + ".");
  MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION, location.c_str());
  MHD_Result r = MHD_queue_response(connection, MHD_HTTP_SEE_OTHER, response);
  MHD_destroy_response(response);
  return r;
}

}  // namespace zelmic
