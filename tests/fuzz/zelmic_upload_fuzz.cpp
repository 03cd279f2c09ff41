// zelmicd's upload server behind its HTTP layer: sequences of requests with fuzzed paths, upload
// headers, part bodies and match lists, against a backend that holds one ticket and a stored
// version to build deltas on. A session opened by the sequence is used by its later requests.
#include <cjson/cJSON.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "service/upload/block_delta.h"
#include "service/upload/upload_service.h"

namespace {

constexpr const char* kPathHash = "p1";
constexpr const char* kToken = "t1";

class FuzzBackend : public zelmic::UploadBackend {
 public:
  FuzzBackend() {
    char pattern[] = "/tmp/plumet-fuzz-upload-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) __builtin_trap();
    dir_ = pattern;
    stored_.blob_path = dir_ + "/stored.bin";
    std::string content;
    for (int i = 0; i < 3 * 4096 + 100; ++i) content.push_back(static_cast<char>(i * 7 % 251));
    std::ofstream(stored_.blob_path, std::ios::binary) << content;
    stored_.size = content.size();
    stored_.filehash = std::string(40, 'a');
  }
  std::optional<zelmic::UploadTicket> ticket_for(const std::string& pathhash,
                                                 const std::string& token) override {
    if (pathhash != kPathHash || token != kToken) return std::nullopt;
    zelmic::UploadTicket ticket;
    ticket.pathhash = pathhash;
    ticket.user = "ann";
    ticket.mount = 1;
    ticket.path = "/docs/a.bin";
    ticket.filehash = "a9993e364706816aba3e25717850c26c9cd0d89d";  // "abc"
    ticket.filesize = 3;
    return ticket;
  }
  std::optional<zelmic::StoredContent> current_content(const zelmic::UploadTicket&) override {
    return stored_;
  }
  ~FuzzBackend() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  bool has_blob(const std::string&) override { return false; }
  bool may_skip_content(const zelmic::UploadTicket&) override { return false; }
  std::string staging_dir() override { return dir_; }
  unsigned commit(const zelmic::UploadTicket&, const std::string& staged, std::string&) override {
    if (!staged.empty()) ::unlink(staged.c_str());
    return 0;
  }

 private:
  std::string dir_;
  zelmic::StoredContent stored_;
};

const char* const kPaths[] = {"/upload_init",           "/upload_req",     "/download_checksum",
                              "/upload_checksum_result", "/upload_part",    "/upload_finish",
                              "/unknown"};
const char* const kHeaders[] = {"x-zm-upload-session",  "x-zm-upload-pathhash",
                                "x-zm-token",           "x-zm-upload-filesize",
                                "x-zm-upload-filehash", "x-zm-upload-filename",
                                "x-zm-upload-range",    "x-zm-upload-crc"};

std::string SessionOf(const std::string& body) {
  cJSON* root = cJSON_ParseWithLength(body.data(), body.size());
  const cJSON* session = cJSON_GetObjectItemCaseSensitive(root, "session");
  std::string id = cJSON_IsString(session) ? session->valuestring : "";
  cJSON_Delete(root);
  return id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzBackend backend;
  static zelmic::ChecksumKeeper keeper(backend.staging_dir());
  static zelmic::UploadService service(backend, keeper);
  FuzzedDataProvider in(data, size);
  std::string session;
  for (int n = 0; n < 8 && in.remaining_bytes() > 0; ++n) {
    zelmic::UploadRequest request;
    request.method = in.ConsumeBool() ? "POST" : "PUT";
    request.path = kPaths[in.ConsumeIntegralInRange<size_t>(0, std::size(kPaths) - 1)];
    for (const char* name : kHeaders) {
      switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
          break;
        case 1: {
          // The values a well-behaved client would send, so that the sequence gets far.
          const std::string header = name;
          request.headers[name] = header == "x-zm-upload-session"    ? session
                                  : header == "x-zm-upload-pathhash" ? kPathHash
                                  : header == "x-zm-token"           ? kToken
                                  : header == "x-zm-upload-filesize" ? "3"
                                  : header == "x-zm-upload-filehash"
                                      ? "a9993e364706816aba3e25717850c26c9cd0d89d"
                                  : header == "x-zm-upload-range" ? "0-2"
                                  : header == "x-zm-upload-crc"   ? "891568578"
                                                                  : "a.bin";
          break;
        }
        default:
          request.headers[name] = in.ConsumeRandomLengthString(48);
      }
    }
    std::string body = in.ConsumeRandomLengthString(4096);
    const uint64_t limit = service.BodyLimit(request);
    if (body.size() > limit) {
      body.resize(limit);
      request.body_too_long = true;
    }
    request.body_crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    request.body = std::move(body);
    const zelmic::UploadAnswer answer = service.Handle(request);
    if (request.path == std::string("/upload_init") && answer.status == 200) {
      session = SessionOf(answer.body);
    }
  }
  // Match lists on their own, against the stored version's blocks.
  const std::string list = in.ConsumeRemainingBytesAsString();
  std::vector<zelmic::BlockMatch> matches;
  std::string error;
  (void)zelmic::ParseMatchList(list, 4096, 3, list.size() * 400, matches, error);
  service.Clear();
  return 0;
}
