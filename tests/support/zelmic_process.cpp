#include "tests/support/zelmic_process.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "common/endpoints.h"
#include "common/text_forms.h"
#include "tests/support/scratch_dir.h"

namespace zelmic_test {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for pid with a deadline; kills it when the deadline passes. Returns the wait status.
int ReapWithin(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  while (Clock::now() < deadline) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return status;
}

size_t Append(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

}  // namespace

std::string ZelmicdPath() { return ZELMICD_PATH; }

RunResult RunProgram(const std::vector<std::string>& argv, int timeout_s) {
  RunResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0) return result;
  if (pipe(err_pipe) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    // Never the test's terminal: add-user would ask it for a password.
    const int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_count = 2;
  bool timed_out = false;
  while (open_count > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  if (timed_out) kill(pid, SIGKILL);
  int status = ReapWithin(pid, std::chrono::seconds(5));
  if (!timed_out && status >= 0 && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

ZelmicProcess::ZelmicProcess() {
  root_ = plumet_test::MakeScratchFolder("zelmic-test");
  if (root_.empty()) {
    ADD_FAILURE() << "mkdtemp failed under " << plumet_test::TempBase();
    return;
  }
  dir_ = root_ + "/data";
  RunResult r = RunProgram({ZelmicdPath(), "init", dir_});
  if (r.exit_code != 0) ADD_FAILURE() << "zelmicd init failed: " << r.err;
}

ZelmicProcess::~ZelmicProcess() {
  Stop();
  if (!root_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
}

RunResult ZelmicProcess::Admin(const std::string& subcommand,
                               const std::vector<std::string>& args) {
  std::vector<std::string> argv = {ZelmicdPath(), subcommand, dir_};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv);
}

std::string ZelmicProcess::AddUser(const std::string& name, const std::vector<int>& mounts,
                                   const std::string& password) {
  std::vector<std::string> args = {name};
  if (!password.empty()) {
    const std::string file = root_ + "/password-" + name;
    if (!WriteFile(file, password + "\n")) ADD_FAILURE() << "cannot write " << file;
    args.push_back("--password-file");
    args.push_back(file);
  }
  for (int m : mounts) {
    args.push_back("--mount");
    args.push_back(std::to_string(m));
  }
  RunResult r = Admin("add-user", args);
  if (r.exit_code != 0) {
    ADD_FAILURE() << "zelmicd add-user failed: " << r.err;
    return {};
  }
  while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) r.out.pop_back();
  return r.out;
}

void ZelmicProcess::Put(int mount, const std::string& local_file, const std::string& remote_path) {
  RunResult r = Admin("put", {"--mount", std::to_string(mount), local_file, remote_path});
  if (r.exit_code != 0) ADD_FAILURE() << "zelmicd put failed: " << r.err;
}

std::string ZelmicProcess::Link(int mount, const std::string& remote_path,
                                const std::string& user) {
  RunResult r = Admin("link", {"--mount", std::to_string(mount), remote_path, "--user", user});
  if (r.exit_code != 0) {
    ADD_FAILURE() << "zelmicd link failed: " << r.err;
    return {};
  }
  while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) r.out.pop_back();
  return r.out;
}

bool ZelmicProcess::Start(const std::vector<std::string>& extra_args) {
  if (pid_ > 0) return true;
  const std::string ready = root_ + "/ready.json";
  unlink(ready.c_str());
  std::vector<std::string> argv = {
      ZelmicdPath(), "serve",      dir_, "--api-port",   "0",  "--token-port", "0", "--upload-port",
      "0",           "--web-port", "0",  "--ready-file", ready};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  tls_cert_.clear();
  for (size_t i = 0; i + 1 < extra_args.size(); ++i)
    if (extra_args[i] == "--tls-cert") tls_cert_ = extra_args[i + 1];
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) return false;
  pid_ = pid;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      last_status_ = status;
      pid_ = -1;
      ADD_FAILURE() << "zelmicd serve exited early";
      return false;
    }
    std::string text = ReadFile(ready);
    if (!text.empty()) {
      std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(text.c_str()),
                                                           &cJSON_Delete);
      auto port = [&](const char* name) -> uint16_t {
        const cJSON* item = cJSON_GetObjectItemCaseSensitive(root.get(), name);
        return cJSON_IsNumber(item) ? static_cast<uint16_t>(item->valueint) : 0;
      };
      api_port_ = port("api");
      token_port_ = port("token");
      upload_port_ = port("upload");
      web_port_ = port("web");
      if (api_port_ && token_port_ && upload_port_ && web_port_) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "zelmicd serve did not become ready within 10 s";
  Kill9();
  return false;
}

void ZelmicProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  last_status_ = ReapWithin(pid_, std::chrono::seconds(10));
  pid_ = -1;
}

void ZelmicProcess::Kill9() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  last_status_ = status;
  pid_ = -1;
}

std::string ZelmicProcess::api_host() const { return "127.0.0.1:" + std::to_string(api_port_); }
std::string ZelmicProcess::token_host() const { return "127.0.0.1:" + std::to_string(token_port_); }
std::string ZelmicProcess::web_base() const {
  return (tls_cert_.empty() ? "http://127.0.0.1:" : "https://127.0.0.1:") +
         std::to_string(web_port_);
}

std::string ZelmicProcess::AccessToken(const std::string& refresh_token) {
  CURL* curl = curl_easy_init();
  if (!curl) return {};
  curl_mime* mime = curl_mime_init(curl);
  auto field = [&](const char* name, const std::string& value) {
    curl_mimepart* part = curl_mime_addpart(mime);
    curl_mime_name(part, name);
    curl_mime_data(part, value.c_str(), value.size());
  };
  field("grant_type", "refresh_token");
  field("refresh_token", refresh_token);
  field("client_id", plumet_defaults::kClientId);
  field("client_secret", plumet_defaults::kClientSecret);
  std::string body;
  std::string url = (tls_cert_.empty() ? "http://" : "https://") + token_host() + "/oauth/token";
  if (!tls_cert_.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, tls_cert_.c_str());
  curl_slist* headers = curl_slist_append(nullptr, "Expect:");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_mime_free(mime);
  curl_easy_cleanup(curl);
  if (status != 200) return {};
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> root(cJSON_Parse(body.c_str()), &cJSON_Delete);
  const cJSON* token = cJSON_GetObjectItemCaseSensitive(root.get(), "access_token");
  return cJSON_IsString(token) ? token->valuestring : std::string();
}

bool ZelmicProcess::Script(const std::string& json) {
  return HttpRequest("POST", web_base() + "/admin/script", {"Content-Type: application/json"}, json)
             .status == 200;
}

bool ZelmicProcess::WaitScriptTaken(const std::string& endpoint, int timeout_ms) {
  const std::string url = web_base() + "/admin/pending?endpoint=" + UrlEncode(endpoint);
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (HttpRequest("POST", url).body == "{\"pending\":false}") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool ZelmicProcess::ClearScript() {
  return HttpRequest("POST", web_base() + "/admin/clear").status == 200;
}

HttpResult HttpRequest(const std::string& method, const std::string& url,
                       const std::vector<std::string>& headers, const std::string& body) {
  HttpResult result;
  CURL* curl = curl_easy_init();
  if (!curl) return result;
  curl_slist* list = curl_slist_append(nullptr, "Expect:");
  for (const auto& h : headers) list = curl_slist_append(list, h.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (!body.empty() || method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result.headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
  if (curl_easy_perform(curl) == CURLE_OK)
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  return result;
}

std::string OriginHeader(const std::string& web_base) { return "Origin: " + web_base; }

std::string WebLogin(const std::string& web_base, const std::string& user,
                     const std::string& password, long* status) {
  const std::string body = "user=" + UrlEncode(user) + "&password=" + UrlEncode(password);
  HttpResult r = HttpRequest(
      "POST", web_base + "/login",
      {"Content-Type: application/x-www-form-urlencoded", OriginHeader(web_base)}, body);
  if (status) *status = r.status;
  const std::string marker = "Set-Cookie: zelmic_session=";
  const size_t at = r.headers.find(marker);
  if (r.status != 303 || at == std::string::npos) return {};
  const size_t end = r.headers.find(';', at);
  return "Cookie: " + r.headers.substr(at + 12, end - at - 12);
}

std::string HiddenField(const std::string& html, const std::string& name) {
  const std::string marker = "name=\"" + name + "\" value=\"";
  const size_t at = html.find(marker);
  if (at == std::string::npos) return {};
  const size_t start = at + marker.size();
  return html.substr(start, html.find('"', start) - start);
}

std::string RequestDate() {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char buf[128];
  size_t n = strftime(buf, sizeof buf, "%a, %d %b %y %H:%M:%S GMT", &local);
  return std::string(buf, n);
}

std::string SignRequest(const std::string& secret, const std::string& token,
                        const std::string& verb, const std::string& date, int mount,
                        const std::string& request_path) {
  std::string lower;
  for (char c : verb) lower += static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
  const std::string message =
      lower + "\n" + date + "\n" + std::to_string(mount) + "\n" + request_path;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &len);
  unsigned char b64[64];
  int n = EVP_EncodeBlock(b64, digest, static_cast<int>(len));
  return token + ":" + std::string(reinterpret_cast<char*>(b64), static_cast<size_t>(n));
}

HttpResult SignedRequest(const std::string& api_host, const std::string& token,
                         const std::string& verb, int mount, const std::string& request_path,
                         const std::vector<std::string>& extra_headers, const std::string& body) {
  const std::string date = RequestDate();
  std::vector<std::string> headers = {
      "x-zm-mount: " + std::to_string(mount), "Date: " + date,
      "Authorization: " +
          SignRequest(plumet_defaults::kClientSecret, token, verb, date, mount, request_path)};
  headers.insert(headers.end(), extra_headers.begin(), extra_headers.end());
  return HttpRequest(verb, "http://" + api_host + request_path, headers, body);
}

std::string RawHttp(uint16_t port, const std::string& bytes, int timeout_ms) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return {};
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;  // the server may refuse early and close
      sent += static_cast<size_t>(n);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) <= 0) break;
      char buf[4096];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return answer;
}

int RawStatus(const std::string& answer) {
  if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12) return 0;
  return atoi(answer.c_str() + 9);
}

std::string UrlEncode(const std::string& bytes) { return plumet_text::PercentEncode(bytes); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

}  // namespace zelmic_test
