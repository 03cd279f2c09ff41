#include "tests/service/upload/fake_backend.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "common/text_forms.h"
#include "tests/support/scratch_dir.h"

namespace zelmic_test {

std::string Sha1Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha1(), nullptr);
  return plumet_text::HexLower(digest, size);
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(engine() & 0xff);
  return out;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

FakeBackend::FakeBackend() {
  root_ = plumet_test::MakeScratchFolder("zupload");
  if (root_.empty()) throw std::runtime_error("mkdtemp failed");
  std::filesystem::create_directories(root_ + "/staging");
  std::filesystem::create_directories(root_ + "/blobs");
}

FakeBackend::~FakeBackend() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

zelmic::UploadTicket FakeBackend::Register(const std::string& pathhash, const std::string& token,
                                           const std::string& path, const std::string& content) {
  zelmic::UploadTicket ticket;
  ticket.pathhash = pathhash;
  ticket.user = "alice";
  ticket.mount = 1;
  ticket.path = path;
  ticket.filehash = Sha1Hex(content);
  ticket.filesize = content.size();
  RegisterTicket(ticket, token);
  return ticket;
}

void FakeBackend::RegisterTicket(const zelmic::UploadTicket& ticket, const std::string& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  tickets_[ticket.pathhash] = {token, ticket};
}

std::string FakeBackend::WriteBlob(const std::string& content) {
  const std::string hash = Sha1Hex(content);
  const std::string path = root_ + "/blobs/" + hash;
  std::ofstream(path, std::ios::binary) << content;
  blobs_[hash] = path;
  return path;
}

void FakeBackend::StoreVersion(const std::string& path, const std::string& content) {
  std::lock_guard<std::mutex> lock(mutex_);
  current_[path] = zelmic::StoredContent{WriteBlob(content), content.size(), Sha1Hex(content)};
}

bool FakeBackend::CurrentBytes(const std::string& path, std::string& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = current_.find(path);
  if (it == current_.end()) return false;
  bytes = ReadWholeFile(it->second.blob_path);
  return true;
}

int FakeBackend::commit_count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return commits_;
}

std::string FakeBackend::last_staged_path() {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_staged_;
}

std::optional<zelmic::UploadTicket> FakeBackend::ticket_for(const std::string& pathhash,
                                                            const std::string& access_token) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = tickets_.find(pathhash);
  if (it == tickets_.end() || it->second.first != access_token) return std::nullopt;
  return it->second.second;
}

std::optional<zelmic::StoredContent> FakeBackend::current_content(
    const zelmic::UploadTicket& ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = current_.find(ticket.path);
  if (it == current_.end()) return std::nullopt;
  return it->second;
}

bool FakeBackend::has_blob(const std::string& filehash) {
  std::lock_guard<std::mutex> lock(mutex_);
  return blobs_.count(filehash) != 0;
}

std::string FakeBackend::staging_dir() { return root_ + "/staging"; }

bool FakeBackend::may_skip_content(const zelmic::UploadTicket& ticket) {
  return has_blob(ticket.filehash);
}

zelmic::Status FakeBackend::commit(const zelmic::UploadTicket& ticket,
                                   const std::string& staged_path) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_staged_ = staged_path;
  std::string blob;
  if (staged_path.empty()) {
    auto it = blobs_.find(ticket.filehash);
    if (it == blobs_.end()) return zelmic::Fail(409, 0, "no such blob");
    blob = it->second;
  } else {
    blob = root_ + "/blobs/" + ticket.filehash;
    if (std::rename(staged_path.c_str(), blob.c_str()) != 0)
      return zelmic::Fail(500, 0, "rename failed");
    blobs_[ticket.filehash] = blob;
  }
  current_[ticket.path] = zelmic::StoredContent{blob, ticket.filesize, ticket.filehash};
  ++commits_;
  return zelmic::Status::OK();
}

}  // namespace zelmic_test
