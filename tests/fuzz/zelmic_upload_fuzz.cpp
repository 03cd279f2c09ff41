// zelmicd's upload server behind its HTTP layer: sequences of requests with fuzzed paths, upload
// headers, part bodies and match lists, against a backend that holds one ticket and a stored
// version of several blocks to build deltas on. The ticket describes a new content made of stored
// blocks (moved, repeated) and new bytes, so that a sequence can finish a whole upload or a delta.
// A session opened by the sequence is used by its later requests, and a "well-behaved" choice of a
// header or body gives what a correct client would send at that point.
//
// The backend's commit is the oracle: whatever the server hands over must be the ticket's content
// (size and SHA-1, hashed here again), and a finish is answered 200 exactly when it committed.
#include <cjson/cJSON.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/sha.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "service/upload/delta_rebuild.h"
#include "service/upload/upload_service.h"
#include "tests/fuzz/fuzz_reach.h"
#include "tests/support/scratch_dir.h"

namespace {

constexpr const char* kPathHash = "p1";
constexpr const char* kToken = "t1";
constexpr uint32_t kBlock = 4096;  // what BlockSizeFor gives the stored version below
constexpr uint64_t kStoredBlocks = 5;

fuzz_reach::Counter sessions_opened("sessions");
fuzz_reach::Counter parts_accepted("parts");
fuzz_reach::Counter deltas_applied("deltas");
fuzz_reach::Counter commits_checked("commits");

std::string Sha1Hex(const std::string& bytes) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : digest) {
    hex.push_back(kHex[b >> 4]);
    hex.push_back(kHex[b & 15]);
  }
  return hex;
}

std::string Noise(size_t n, uint32_t seed) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    out.push_back(static_cast<char>(seed >> 16));
  }
  return out;
}

void PutRecord(std::string& list, uint64_t offset, uint16_t block) {
  for (int i = 0; i < 8; ++i) list.push_back(static_cast<char>(offset >> (8 * i)));
  list.push_back(static_cast<char>(block));
  list.push_back(static_cast<char>(block >> 8));
}

// The stored version, the ticket's content built on it, and the match list a client would send.
struct Contents {
  std::string stored;
  std::string target;
  std::string target_sha1;
  std::string matches;  // in target order

  Contents() {
    stored = Noise(kStoredBlocks * kBlock + 100, 1);
    stored.replace(3 * kBlock, kBlock, stored, 1 * kBlock, kBlock);  // block 3 repeats block 1
    auto block = [&](uint16_t k) {
      PutRecord(matches, target.size(), k);
      target.append(stored, k * kBlock, kBlock);
    };
    block(0);
    block(1);
    target += Noise(37, 2);
    block(2);
    block(3);  // equal to block 1: either names it
    target += Noise(5000, 3);
    block(4);                                       // at an offset no multiple of the block size
    target.append(stored, kStoredBlocks * kBlock);  // the stored tail, no full block
    target += "end";
    target_sha1 = Sha1Hex(target);
  }
};

const Contents& Data() {
  static const Contents contents;
  return contents;
}

// The bytes a client sends as parts after `list` was accepted: those no match covers.
std::string LiteralOf(const std::string& target, const std::string& list) {
  std::string literal;
  uint64_t done = 0;
  for (size_t r = 0; r + 10 <= list.size(); r += 10) {
    uint64_t offset = 0;
    for (int i = 7; i >= 0; --i) offset = offset << 8 | static_cast<unsigned char>(list[r + i]);
    if (offset < done || offset > target.size()) return literal;
    literal.append(target, done, offset - done);
    done = offset + kBlock;
  }
  if (done < target.size()) literal.append(target, done);
  return literal;
}

class FuzzBackend : public zelmic::UploadBackend {
 public:
  FuzzBackend() {
    dir_ = plumet_test::MakeScratchFolder("plumet-fuzz-upload");
    if (dir_.empty()) __builtin_trap();
    stored_.blob_path = dir_ + "/stored.bin";
    std::ofstream(stored_.blob_path, std::ios::binary) << Data().stored;
    stored_.size = Data().stored.size();
    stored_.filehash = Sha1Hex(Data().stored);
    if (zelmic::BlockSizeFor(stored_.size) != kBlock) __builtin_trap();
  }
  std::optional<zelmic::UploadTicket> ticket_for(const std::string& pathhash,
                                                 const std::string& token) override {
    if (pathhash != kPathHash || token != kToken) return std::nullopt;
    zelmic::UploadTicket ticket;
    ticket.pathhash = pathhash;
    ticket.user = "ann";
    ticket.mount = 1;
    ticket.path = "/docs/a.bin";
    ticket.filehash = Data().target_sha1;
    ticket.filesize = Data().target.size();
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
  // Where the store would take the file over: it must be the ticket's content, whatever path the
  // server took to it.
  zelmic::Status commit(const zelmic::UploadTicket& ticket, const std::string& staged) override {
    std::ifstream file(staged, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    if (!file || content.str().size() != ticket.filesize ||
        Sha1Hex(content.str()) != ticket.filehash || ticket.filehash != Data().target_sha1) {
      __builtin_trap();
    }
    ::unlink(staged.c_str());
    ++commits;
    commits_checked.Hit();
    return zelmic::Status::OK();
  }
  uint64_t commits = 0;

 private:
  std::string dir_;
  zelmic::StoredContent stored_;
};

struct Route {
  const char* path;
  const char* method;
};
const Route kRoutes[] = {{"/upload_init", "POST"},
                         {"/upload_req", "POST"},
                         {"/download_checksum", "POST"},
                         {"/upload_checksum_result", "PUT"},
                         {"/upload_part", "PUT"},
                         {"/upload_finish", "POST"},
                         {"/unknown", "POST"}};
const char* const kHeaders[] = {
    "x-zm-upload-session",  "x-zm-upload-pathhash", "x-zm-token",        "x-zm-upload-filesize",
    "x-zm-upload-filehash", "x-zm-upload-filename", "x-zm-upload-range", "x-zm-upload-crc"};

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
  const Contents& c = Data();
  FuzzedDataProvider in(data, size);
  // What a correct client knows: its session, the content its parts carry (the whole file, or
  // the literal bytes once a match list was taken) and how much of it the server holds.
  std::string session;
  std::string content = c.target;
  uint64_t sent = 0;
  bool delta = false;
  // After the input's requests, a session still open is finished as a client would finish it,
  // so that every sequence that delivered the content gets to the commit.
  for (int n = 0; n <= 16; ++n) {
    const bool closing = n == 16 || in.remaining_bytes() == 0;
    if (closing && session.empty()) break;
    const bool own_method = closing || in.ConsumeBool();
    const Route& route =
        kRoutes[closing ? 5 : in.ConsumeIntegralInRange<size_t>(0, std::size(kRoutes) - 1)];
    zelmic::UploadRequest request;
    request.path = route.path;
    request.method = own_method == (route.method[1] == 'O') ? "POST" : "PUT";
    const std::string path = route.path;
    std::string body;
    switch (closing ? 0 : in.ConsumeIntegralInRange<int>(0, 2)) {
      case 0:
        break;
      case 1:
        if (path == "/upload_checksum_result") {
          // Any subset of the true matches is a valid delta too, with more literal bytes.
          const uint8_t keep = in.ConsumeIntegral<uint8_t>();
          for (size_t r = 0; r < c.matches.size() / 10; ++r) {
            if (keep >> r & 1) body.append(c.matches, 10 * r, 10);
          }
        } else if (path == "/upload_part") {
          const size_t length = in.ConsumeIntegralInRange<size_t>(1, 1 << 15);
          if (sent < content.size()) body = content.substr(sent, length);
        }
        break;
      default:
        body = in.ConsumeRandomLengthString(4096);
    }
    for (const char* name : kHeaders) {
      switch (closing ? 1 : in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
          break;
        case 1: {
          const std::string header = name;
          const uint64_t last = body.empty() ? sent : sent + body.size() - 1;
          const uint32_t crc = static_cast<uint32_t>(crc32(
              0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
          request.headers[name] =
              header == "x-zm-upload-session"    ? session
              : header == "x-zm-upload-pathhash" ? kPathHash
              : header == "x-zm-token"           ? kToken
              : header == "x-zm-upload-filesize"
                  ? std::to_string(path == "/upload_finish" ? content.size() : c.target.size())
              : header == "x-zm-upload-filehash" ? c.target_sha1
              : header == "x-zm-upload-range"    ? std::to_string(sent) + "-" + std::to_string(last)
              : header == "x-zm-upload-crc"      ? std::to_string(crc)
                                                 : "a.bin";
          break;
        }
        default:
          request.headers[name] = in.ConsumeRandomLengthString(48);
      }
    }
    // As the HTTP layer feeds the service: a refusal from the head alone, else the body up to the
    // limit the head allows.
    request.headers["content-length"] = std::to_string(body.size());
    zelmic::UploadAnswer answer;
    const uint64_t commits_before = backend.commits;
    if (std::optional<zelmic::UploadAnswer> refusal = service.Refusal(request)) {
      answer = *refusal;
    } else {
      const uint64_t limit = service.BodyLimit(request);
      if (body.size() > limit) {
        body.resize(limit);
        request.body_too_long = true;
      }
      request.body_crc = static_cast<uint32_t>(
          crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
      request.body = body;
      answer = service.Handle(request);
    }
    const bool ok = answer.status == 200;
    if (path == "/upload_init" && ok) {
      const std::string id = SessionOf(answer.body);
      if (id != session) {
        session = id;
        content = c.target;
        sent = 0;
        delta = false;
        sessions_opened.Hit();
      }
    } else if (path == "/upload_checksum_result" && (ok || answer.status == 202)) {
      content = LiteralOf(c.target, body);
      sent = 0;
      delta = true;
    } else if (path == "/upload_part" && ok) {
      sent += body.size();
      parts_accepted.Hit();
    }
    // A finish stores the content exactly when it says so; nothing else stores anything.
    const bool finished = path == "/upload_finish" && ok;
    if (backend.commits != commits_before + (finished ? 1 : 0)) __builtin_trap();
    if (finished && delta) deltas_applied.Hit();
    if (closing) break;
  }
  // Match lists on their own, against the stored version's blocks.
  const std::string list = in.ConsumeRemainingBytesAsString();
  std::vector<zelmic::BlockMatch> matches;
  (void)zelmic::ParseMatchList(list, kBlock, kStoredBlocks, c.target.size(), matches);
  service.Clear();
  return 0;
}
