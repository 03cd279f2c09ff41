#pragma once
// An UploadBackend over a temporary directory, for exercising the upload server alone: tickets and
// stored versions are set up by the test, commits are recorded and their bytes kept.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "service/store/upload_backend.h"

namespace zelmic_test {

class FakeBackend : public zelmic::UploadBackend {
 public:
  FakeBackend();
  ~FakeBackend() override;

  // Registers an upload of content under pathhash for token, as the REST "PUT" would.
  zelmic::UploadTicket Register(const std::string& pathhash, const std::string& token,
                                const std::string& path, const std::string& content);
  // Same, with an explicit hash and size (to announce content other than what is sent).
  void RegisterTicket(const zelmic::UploadTicket& ticket, const std::string& token);
  // Makes content the current version of path.
  void StoreVersion(const std::string& path, const std::string& content);

  // Bytes of the current version of path ("" and false when there is none).
  bool CurrentBytes(const std::string& path, std::string& bytes);
  int commit_count();
  std::string last_staged_path();
  std::string root() const { return root_; }

  std::optional<zelmic::UploadTicket> ticket_for(const std::string& pathhash,
                                                 const std::string& access_token) override;
  std::optional<zelmic::StoredContent> current_content(const zelmic::UploadTicket& ticket) override;
  bool has_blob(const std::string& filehash) override;
  std::string staging_dir() override;
  bool may_skip_content(const zelmic::UploadTicket& ticket) override;
  zelmic::Status commit(const zelmic::UploadTicket& ticket,
                        const std::string& staged_path) override;

 private:
  std::string WriteBlob(const std::string& content);

  std::mutex mutex_;
  std::string root_;
  std::map<std::string, std::pair<std::string, zelmic::UploadTicket>> tickets_;  // by pathhash
  std::map<std::string, zelmic::StoredContent> current_;                         // by path
  std::map<std::string, std::string> blobs_;                                     // hash -> path
  int commits_ = 0;
  std::string last_staged_;
};

// SHA-1 of bytes as 40 lowercase hex characters.
std::string Sha1Hex(const std::string& bytes);
// Deterministic pseudo-random bytes.
std::string RandomBytes(size_t size, unsigned seed);
// Whole content of a file.
std::string ReadWholeFile(const std::string& path);

}  // namespace zelmic_test
