#include "service/store/blob_store.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "common/text_forms.h"
#include "service/store/file_hash.h"
#include "service/store/secrets.h"
#include "service/store/sqlite_util.h"

namespace zelmic {

namespace fs = std::filesystem;

namespace {

bool SyncPath(const std::string& path, bool directory) {
  int fd = open(path.c_str(), directory ? (O_RDONLY | O_DIRECTORY) : O_RDONLY);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

constexpr const char* kLinkSecretKey = "link-secret";
constexpr size_t kMacHexLength = 32;  // 128 bits of HMAC-SHA-256

std::string LocationMac(const std::string& secret, const std::string& key, int64_t expires) {
  const std::string message = key + "." + std::to_string(expires);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &len);
  return plumet_text::HexLower(digest, len).substr(0, kMacHexLength);
}

}  // namespace

bool BlobStore::LoadLinkSecret() {
  Statement find(db_.handle(), "SELECT value FROM meta WHERE key = ?");
  find.bind(1, std::string(kLinkSecretKey));
  if (find.step()) {
    link_secret_ = find.text(0);
    return !link_secret_.empty();
  }
  link_secret_ = RandomHex(32);
  Statement insert(db_.handle(), "INSERT OR IGNORE INTO meta(key, value) VALUES(?, ?)");
  if (!insert.bind(1, std::string(kLinkSecretKey)).bind(2, link_secret_).run()) return false;
  // Another process may have won the race; its secret is the one to use.
  Statement again(db_.handle(), "SELECT value FROM meta WHERE key = ?");
  again.bind(1, std::string(kLinkSecretKey));
  if (!again.step()) return false;
  link_secret_ = again.text(0);
  return true;
}

std::string BlobStore::BlobPath(const std::string& filehash) const {
  return db_.dir() + "/blobs/" + filehash.substr(0, 2) + "/" + filehash;
}

bool BlobStore::HasBlob(const std::string& filehash) const {
  if (filehash.size() != 40) return false;
  struct stat st {};
  return stat(BlobPath(filehash).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Status BlobStore::PlaceBlob(const std::string& staged_path, const std::string& filehash,
                            bool verified) const {
  const std::string target = BlobPath(filehash);
  if (staged_path.empty()) {
    if (!HasBlob(filehash)) return Fail(409, 40901, "the content is not stored yet");
    return {};
  }
  // A blob is named by its SHA-1, so content that does not hash to its name never enters the
  // store; and it must be durable before anything refers to it. Content its writer hashed and
  // flushed on the way in is not read a second time for that.
  if (!verified) {
    std::string actual;
    if (!Sha1OfFile(staged_path, kWholeFile, actual).ok())
      return Fail(500, 50001, "cannot read the staged content");
    if (actual != filehash) return Fail(409, 40907, "the content does not match its filehash");
    if (!SyncPath(staged_path, false)) return Fail(500, 50001, "cannot sync the staged content");
  }
  if (HasBlob(filehash)) {
    unlink(staged_path.c_str());  // identical content is already stored
    return {};
  }
  std::error_code ec;
  const std::string folder = db_.dir() + "/blobs/" + filehash.substr(0, 2);
  const bool new_folder = fs::create_directories(folder, ec);
  if (rename(staged_path.c_str(), target.c_str()) != 0)
    return Fail(500, 50002, "cannot move the content into the store");
  SyncPath(folder, true);
  // The folder's own entry needs flushing only when it was just made; each flush waits for the
  // device.
  if (new_folder) SyncPath(db_.dir() + "/blobs", true);
  return {};
}

void BlobStore::Pin(const std::string& filehash) const {
  std::lock_guard<std::mutex> lock(pins_mutex_);
  ++pins_[filehash];
}

void BlobStore::Unpin(const std::string& filehash) const {
  std::lock_guard<std::mutex> lock(pins_mutex_);
  auto it = pins_.find(filehash);
  if (it != pins_.end() && --it->second == 0) pins_.erase(it);
}

bool BlobStore::RemoveIfUnused(const std::string& filehash) const {
  if (filehash.size() != 40) return false;
  std::lock_guard<std::mutex> lock(pins_mutex_);
  if (pins_.count(filehash) != 0) return false;
  // A failed query keeps the blob: only a definite "no row refers to it" removes it.
  Statement used(db_.handle(), "SELECT EXISTS(SELECT 1 FROM versions WHERE filehash = ?)");
  used.bind(1, filehash);
  if (!used.step() || used.i64(0) != 0) return false;
  if (unlink(BlobPath(filehash).c_str()) != 0 && errno != ENOENT) return false;
  // The block checksum lists derived from it (DIR/sums/ab/<sha1>-<block size>) go with it.
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(db_.dir() + "/sums/" + filehash.substr(0, 2), ec))
    if (e.path().filename().string().rfind(filehash + "-", 0) == 0) fs::remove(e.path(), ec);
  return true;
}

std::string BlobStore::DownloadLocation(const std::string& download_key) const {
  const int64_t expires = db_.Now() + policy_.download_ttl;
  return download_key + "." + std::to_string(expires) + "." +
         LocationMac(link_secret_, download_key, expires);
}

std::optional<DownloadTarget> BlobStore::ResolveDownload(const std::string& location) const {
  const size_t first = location.find('.');
  const size_t second = first == std::string::npos ? first : location.find('.', first + 1);
  if (second == std::string::npos || second - first > 20) return std::nullopt;
  const std::string key = location.substr(0, first);
  const std::string expires_text = location.substr(first + 1, second - first - 1);
  const std::string mac = location.substr(second + 1);
  if (key.empty() || expires_text.empty() ||
      expires_text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int64_t expires = std::strtoll(expires_text.c_str(), nullptr, 10);
  if (!SameSecret(mac, LocationMac(link_secret_, key, expires)) || expires < db_.Now())
    return std::nullopt;
  auto read = db_.Read();
  Statement q(read.handle(),
              "SELECT v.filehash, v.filesize, f.path FROM versions v JOIN files f "
              "ON f.id = v.file_id WHERE v.download_key = ? AND f.deleted = 0");
  q.bind(1, key);
  if (!q.step()) return std::nullopt;
  const std::string path = q.text(2);
  return DownloadTarget{BlobPath(q.text(0)), q.i64(1), path.substr(path.rfind('/') + 1), q.text(0)};
}

}  // namespace zelmic
