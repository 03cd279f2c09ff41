#include "tests/upload/fake_upload_server.h"

#include <openssl/evp.h>
#include <strings.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace upload_test {

namespace {

void PutLe32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::string Md5(const char* data, size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data, size, digest, &length, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), length);
}

uint32_t Crc(const std::string& bytes) {
  return static_cast<uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<RecordedRequest*>(cls)->headers.emplace_back(key, value ? value : "");
  return MHD_YES;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return {};
}

bool RecordedRequest::HasHeader(const std::string& name) const {
  for (const auto& entry : headers) {
    if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

struct FakeUploadServer::Connection {
  RecordedRequest request;
  uint64_t droppedBytes = 0;  // body bytes not kept (sink mode)
};

FakeUploadServer::FakeUploadServer() = default;

// The daemon's threads read the script and the record, so it stops before they go.
FakeUploadServer::~FakeUploadServer() { daemon_.Stop(); }

bool FakeUploadServer::Start() {
  daemon_ = zelmic::MhdDaemon::Start(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG, 0, &FakeUploadServer::Handle, this,
      {{MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&FakeUploadServer::Completed),
        this}});
  port_ = daemon_.port();
  return port_ != 0;
}

std::string FakeUploadServer::Host() const { return "127.0.0.1:" + std::to_string(port_); }

std::wstring FakeUploadServer::BaseUrl() const {
  const std::string url = "http://" + Host();
  return std::wstring(url.begin(), url.end());
}

std::string FakeUploadServer::ChecksumList(const std::string& content, uint32_t blockSize) {
  std::string weak, strong;
  const size_t blocks = blockSize == 0 ? 0 : content.size() / blockSize;
  for (size_t i = 0; i < blocks; ++i) {
    const char* block = content.data() + i * blockSize;
    PutLe32(weak,
            static_cast<uint32_t>(adler32(1L, reinterpret_cast<const Bytef*>(block), blockSize)));
    strong += Md5(block, blockSize);
  }
  return weak + strong;
}

void FakeUploadServer::SetStored(const std::string& content, uint32_t blockSize) {
  std::string list = ChecksumList(content, blockSize);
  std::lock_guard<std::mutex> lock(mu_);
  stored_ = content;
  checksumList_ = std::move(list);
  blockSize_ = blockSize;
}

void FakeUploadServer::SetChecksumList(std::string list, uint32_t blockSize) {
  std::lock_guard<std::mutex> lock(mu_);
  stored_.clear();
  checksumList_ = std::move(list);
  blockSize_ = blockSize;
}

void FakeUploadServer::Push(const std::string& path, Scripted answer) {
  std::lock_guard<std::mutex> lock(mu_);
  script_[path].push_back(std::move(answer));
}

std::vector<RecordedRequest> FakeUploadServer::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

int FakeUploadServer::Count(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  int n = 0;
  for (const RecordedRequest& r : requests_) n += r.path == path ? 1 : 0;
  return n;
}

std::string FakeUploadServer::Committed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return committed_;
}

bool FakeUploadServer::HasCommitted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hasCommitted_;
}

std::string FakeUploadServer::Literal() const {
  std::lock_guard<std::mutex> lock(mu_);
  return literal_;
}

MHD_Result FakeUploadServer::Handle(void* cls, MHD_Connection* connection, const char* url,
                                    const char* method, const char*, const char* uploadData,
                                    size_t* uploadDataSize, void** conCls) {
  auto* self = static_cast<FakeUploadServer*>(cls);
  auto* state = static_cast<Connection*>(*conCls);
  if (state == nullptr) {
    state = new Connection;
    state->request.method = method;
    state->request.path = url;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, CollectHeader, &state->request);
    *conCls = state;
    return MHD_YES;
  }
  if (*uploadDataSize != 0) {
    if (self->sink_.load()) {
      state->droppedBytes += *uploadDataSize;
    } else {
      state->request.body.append(uploadData, *uploadDataSize);
    }
    *uploadDataSize = 0;
    return MHD_YES;
  }
  if (state->droppedBytes != 0) {
    std::lock_guard<std::mutex> lock(self->mu_);
    self->sinkBytes_ += state->droppedBytes;
    state->droppedBytes = 0;
  }
  return self->Answer(connection, state->request);
}

void FakeUploadServer::Completed(void*, MHD_Connection*, void** conCls,
                                 MHD_RequestTerminationCode) {
  delete static_cast<Connection*>(*conCls);
  *conCls = nullptr;
}

MHD_Result FakeUploadServer::Send(MHD_Connection* connection, unsigned status,
                                  const std::string& body, bool serverHeader,
                                  const std::string& serverValue, const std::string& location) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (serverHeader) MHD_add_response_header(response, "X-SERVER", serverValue.c_str());
  if (!location.empty()) MHD_add_response_header(response, "Location", location.c_str());
  const MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result FakeUploadServer::Answer(MHD_Connection* connection, const RecordedRequest& request) {
  unsigned delayMs = 0;
  std::unique_lock<std::mutex> lock(mu_);
  auto stall = stalls_.find(request.path);
  if (stall != stalls_.end()) {
    const unsigned ms = stall->second;
    stalls_.erase(stall);
    ++stallsBegun_;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    lock.lock();
  }
  requests_.push_back(request);
  const std::string key = request.method == "PUT" && request.path.rfind("/upload_", 0) != 0
                              ? std::string("PUT")
                              : request.path;
  auto queued = script_.find(key);
  if (queued != script_.end() && !queued->second.empty()) {
    Scripted answer = queued->second.front();
    queued->second.pop_front();
    if (answer.status != 0) {
      lock.unlock();
      return Send(connection, answer.status, answer.body, answer.serverHeader, answer.serverValue,
                  answer.location);
    }
  }

  const std::string& path = request.path;
  if (key == "PUT") {
    const std::string body = "{\"state\":" + std::to_string(addFileState_) +
                             ",\"hash\":\"ph-1\",\"version\":2,\"server\":\"http://" + Host() +
                             "\"}";
    lock.unlock();
    return Send(connection, 200, body, false);
  }
  if (path == "/upload_init") {
    ++sessions_;
    if (literal_.empty()) {  // a resumed upload keeps the match list it sent before
      matches_.clear();
      haveMatches_ = false;
    }
    const std::string body = "{\"session\":\"sess-" + std::to_string(sessions_) +
                             "\",\"piecelen\":" + std::to_string(blockSize_) + "}";
    lock.unlock();
    return Send(connection, 200, body);
  }
  if (path == "/upload_req") {
    const std::string body = std::to_string(literal_.size());
    lock.unlock();
    return Send(connection, 200, body);
  }
  if (path == "/download_checksum") {
    const std::string list = checksumList_;
    lock.unlock();
    return Send(connection, 200, list);
  }
  if (sink_ && (path == "/upload_checksum_result" || path == "/upload_part")) {
    lock.unlock();
    return Send(connection, 200, "");
  }
  if (sink_ && path == "/upload_finish") {
    lock.unlock();
    return Send(connection, 200, "");
  }
  if (path == "/upload_checksum_result") {
    if (std::strtoul(request.Header("x-zm-upload-crc").c_str(), nullptr, 10) != Crc(request.body) ||
        request.body.size() % 10 != 0) {
      lock.unlock();
      return Send(connection, 400, "bad match list");
    }
    matches_ = request.body;
    haveMatches_ = true;
    lock.unlock();
    return Send(connection, 200, "");
  }
  if (path == "/upload_part") {
    delayMs = partDelayMs_;
    const std::string range = request.Header("x-zm-upload-range");
    const uint64_t first = std::strtoull(range.c_str(), nullptr, 10);
    const size_t dash = range.find('-');
    const uint64_t last =
        dash == std::string::npos ? 0 : std::strtoull(range.c_str() + dash + 1, nullptr, 10);
    if (first != literal_.size()) {
      const std::string body =
          "{\"error_code\":40900,\"expect\":\"" + std::to_string(literal_.size()) + "\"}";
      lock.unlock();
      return Send(connection, 409, body);
    }
    if (last + 1 - first != request.body.size() ||
        std::strtoul(request.Header("x-zm-upload-crc").c_str(), nullptr, 10) != Crc(request.body)) {
      lock.unlock();
      return Send(connection, 400, "bad part");
    }
    literal_ += request.body;
    lock.unlock();
    if (delayMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    return Send(connection, 200, "");
  }
  if (path == "/upload_finish") {
    if (request.Header("x-zm-upload-filesize") != std::to_string(literal_.size())) {
      lock.unlock();
      return Send(connection, 400, "size differs");
    }
    std::string content;
    if (haveMatches_) {
      size_t literalAt = 0;
      for (size_t i = 0; i + 10 <= matches_.size(); i += 10) {
        uint64_t offset = 0;
        uint16_t block = 0;
        std::memcpy(&offset, matches_.data() + i, 8);
        std::memcpy(&block, matches_.data() + i + 8, 2);
        if (offset < content.size()) {
          lock.unlock();
          return Send(connection, 400, "overlapping matches");
        }
        const size_t gap = offset - content.size();
        content += literal_.substr(literalAt, gap);
        literalAt += gap;
        content += stored_.substr(static_cast<size_t>(block) * blockSize_, blockSize_);
      }
      content += literal_.substr(std::min(literalAt, literal_.size()));
    } else {
      content = literal_;
    }
    committed_ = content;
    hasCommitted_ = true;
    literal_.clear();
    matches_.clear();
    haveMatches_ = false;
    lock.unlock();
    return Send(connection, 200, "");
  }
  lock.unlock();
  return Send(connection, 404, "unknown");
}

}  // namespace upload_test
