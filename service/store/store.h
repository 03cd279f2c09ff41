#pragma once
// The service's state: users, mounts and tokens, files and their versions in SQLite (WAL), and
// the contents in a blob store addressed by SHA-1 (DIR/blobs/ab/abcdef...).
//
// Durability: a version row is committed only after its blob is complete on disk (written to a
// temporary file, fsync'd, renamed into place, directory fsync'd), and each change of the
// metadata is one SQLite transaction. A crash at any moment therefore leaves either the previous
// version or the new one, never a version row without its content.
//
// Beside the blobs, DIR/sums/ab/<sha1>-<block size> holds the block checksum list of a content
// (ChecksumKeeper): derived data, checked whenever it is read and safe to delete at any time.

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "service/store/status.h"
#include "service/store/upload_backend.h"

namespace zelmic {

// What a file's last change was (the "cmd" member).
enum Cmd : int { kCmdUpload = 1, kCmdRevert = 2, kCmdRename = 3, kCmdDelete = 4, kCmdLock = 5 };

// How long tokens live.
struct TokenPolicy {
  int64_t access_ttl = 3600;                      // access tokens
  int64_t link_unused_ttl = 86400;                // a link's refresh token that nobody has used yet
  int64_t link_session_ttl = int64_t{7} * 86400;  // a link's refresh token after its first use
  int64_t download_ttl = 3600;  // a download location named by an answer or the page
};

struct AccessInfo {
  int64_t user_id = 0;
  std::string user;
  bool scoped = false;  // a link token: only `mount` and `path`
  int mount = 0;
  std::string path;
  bool Allows(int m, const std::string& p) const { return !scoped || (m == mount && p == path); }
};

struct VersionRecord {
  int version = 0;
  std::string filehash;
  int64_t filesize = 0;
  int64_t user_id = 0;
  std::string user;
  std::string machine;
  int64_t dateline = 0;
  int cmd = kCmdUpload;
  std::string download_key;
};

struct FileRecord {
  int64_t id = 0;
  std::string uid;  // stable id of the file (the "hash" member)
  int mount = 0;
  std::string path;
  bool deleted = false;
  int cmd = kCmdUpload;
  int64_t dateline = 0;
  int64_t lock_user = 0;  // 0: not locked
  VersionRecord current;
  int vcount = 0;
  int shares = 0;
  int messages = 0;
  bool published = false;
};

struct ListEntry {
  std::string path;
  bool dir = false;
  FileRecord file;  // files only
};

struct Message {
  std::string text;
  std::string member;
  int64_t lasttime = 0;
};

struct PublishInfo {
  std::string key;
  int64_t day_limit = 0;
  int64_t download_limit = 0;
  int64_t downloads = 0;
  int64_t expires = 0;  // 0: never
};

struct DownloadTarget {
  std::string blob_path;
  int64_t size = 0;
  std::string filename;
  std::string filehash;
};

class Store : public UploadBackend {
 public:
  // Opens DIR made by Create into `opened` (untouched on failure); fails with a one-line reason
  // when it is not a data dir.
  static Status Open(const std::string& dir, std::unique_ptr<Store>& opened);
  // Makes DIR (which must be missing or empty) into a data dir.
  static Status Create(const std::string& dir);
  ~Store() override;

  void set_policy(const TokenPolicy& p) { policy_ = p; }
  const TokenPolicy& policy() const { return policy_; }
  void set_upload_server(const std::string& base) { upload_server_ = base; }
  const std::string& dir() const { return dir_; }

  // Users and tokens.
  Status AddUser(const std::string& name, const std::vector<int>& mounts, std::string& refresh);
  std::optional<int64_t> FindUser(const std::string& name);
  std::vector<int> Mounts(int64_t user_id);
  bool HasGrant(int64_t user_id, int mount);
  // A refresh token for one file, for the "edit" link of that file.
  Status MintLinkToken(int64_t user_id, int mount, const std::string& path, std::string& token);
  // The same for a page view: a token this process minted earlier for the same user and file is
  // handed out again while it has a good while to live, so views do not pile up tokens.
  Status LinkTokenFor(int64_t user_id, int mount, const std::string& path, std::string& token);

  // Web login. A user without a password can use the REST interface but not log in to the page.
  Status SetPassword(int64_t user_id, const std::string& password);
  // The user's id when the name and password match (as slow for unknown names as for known ones).
  std::optional<int64_t> CheckPassword(const std::string& name, const std::string& password);
  enum class Exchange { Ok, Unknown, Expired };
  Exchange ExchangeRefresh(const std::string& refresh, std::string& access);
  std::optional<AccessInfo> CheckAccess(const std::string& access);

  // Files.
  std::optional<FileRecord> GetFile(int mount, const std::string& path);
  bool FolderExists(int mount, const std::string& path);
  // Every live file of the mount, by path.
  std::vector<FileRecord> FilesOf(int mount);
  Status List(int mount, const std::string& folder, bool dirs_only, const std::string& order,
              int start, int size, int& total, std::vector<ListEntry>& entries);
  // Everything under folder (or the file itself) changed after `since`, deleted files included.
  std::vector<ListEntry> ChangedSince(int mount, const std::string& path, int64_t since);
  // Registers an upload ("PUT"); see the definition for the meaning of state.
  Status RegisterUpload(const AccessInfo& who, int mount, const std::string& path,
                        const std::string& filehash, uint64_t filesize, int expect_version,
                        const std::string& machine, int& state, std::string& pathhash,
                        int& version);
  // Stores a complete local file as the new version (copying it into the store). `progress`, when
  // given, is told the bytes copied so far and the file's length.
  Status PutLocalFile(int64_t user_id, int mount, const std::string& path,
                      const std::string& local_file, const std::string& machine, int& version,
                      const std::function<void(uint64_t, uint64_t)>& progress = {});
  // Commits staged content (moved into the store; empty: content the store already holds).
  // A non-zero expect_version must still be the file's current version when the commit happens.
  // `verified`: the caller hashed the staged content to `filehash` as it wrote it, and flushed
  // it to the device; the store then takes it as it is instead of reading it once more.
  Status CommitContent(int64_t user_id, int mount, const std::string& path,
                       const std::string& staged_path, const std::string& filehash,
                       uint64_t filesize, const std::string& machine, int& version,
                       int expect_version = 0, bool verified = false);
  Status Delete(int64_t user_id, int mount, const std::string& path, int& version);
  Status Rename(int64_t user_id, int mount, const std::string& path, const std::string& to,
                int& version);
  Status Versions(int mount, const std::string& path, std::vector<VersionRecord>& out);
  Status Revert(int64_t user_id, int mount, const std::string& path, int version, int& new_version);
  Status Lock(int64_t user_id, int mount, const std::string& path, bool lock);

  // Collaboration.
  Status AddMessage(int64_t user_id, int mount, const std::string& path, const std::string& text,
                    const std::vector<std::string>& emails);
  Status Messages(int mount, const std::string& path, int limit, std::vector<Message>& out);
  Status Share(int64_t user_id, int mount, const std::string& path,
               const std::vector<std::string>& emails, const std::string& text);
  // Publishes the file (once; later calls keep the key), setting the limits when `set`.
  Status Publish(int mount, const std::string& path, bool set, int64_t day_limit,
                 int64_t download_limit, PublishInfo& out);

  // A download location for a version's download key: the key, an expiry time and a MAC over
  // both with a secret of this data dir, so it works without a login, cannot be guessed and
  // ends after download_ttl.
  std::string DownloadLocation(const std::string& download_key);
  // Downloads by such a location, and published links (counted against their limits unless
  // `count` is false, as for HEAD).
  std::optional<DownloadTarget> ResolveDownload(const std::string& location);
  std::optional<DownloadTarget> ResolvePublished(const std::string& key, bool count = true);

  // Whether the user may already read content with this SHA-1 (a version of it lies in one of
  // the user's mounts).
  bool CanReadContent(int64_t user_id, const std::string& filehash);

  // UploadBackend.
  std::optional<UploadTicket> ticket_for(const std::string& pathhash,
                                         const std::string& access_token) override;
  std::optional<StoredContent> current_content(const UploadTicket& ticket) override;
  bool has_blob(const std::string& filehash) override;
  std::string staging_dir() override;
  bool may_skip_content(const UploadTicket& ticket) override;
  Status commit(const UploadTicket& ticket, const std::string& staged_path) override;
  Status commit_hashed(const UploadTicket& ticket, const std::string& staged_path,
                       const std::string& sha1) override;

  std::string BlobPath(const std::string& filehash) const;
  // Runs PRAGMA integrity_check; true when SQLite reports "ok".
  bool IntegrityOk();

  static constexpr int64_t kMaxDayLimit = 365;
  static constexpr int64_t kMaxDownloadLimit = 10000;

 private:
  Store(std::string dir, sqlite3* db) : dir_(std::move(dir)), db_(db) {}
  bool Exec(const char* sql);
  std::optional<FileRecord> LoadFile(int mount, const std::string& path, bool with_deleted);
  VersionRecord LoadVersion(int64_t file_id, int version);
  // commit and commit_hashed; sha1 is null when the content must be hashed here.
  Status Commit(const UploadTicket& ticket, const std::string& staged_path,
                const std::string* sha1);
  // Moves a staged file into the blob store (or checks the blob exists when staged is empty).
  Status PlaceBlob(const std::string& staged_path, const std::string& filehash,
                   bool verified = false);
  Status CommitLocked(int64_t user_id, int mount, const std::string& path,
                      const std::string& filehash, uint64_t filesize, const std::string& machine,
                      int cmd, int& version, int expect_version = 0);
  bool AddColumn(const char* table, const char* column, const char* declaration);
  bool LoadLinkSecret();
  Status CheckUnlocked(const FileRecord& file, int64_t user_id);
  int64_t Now() const;

  std::string dir_;
  sqlite3* db_;
  std::mutex mutex_;
  TokenPolicy policy_;
  std::string upload_server_;
  std::string link_secret_;  // keys the MAC of download locations
  struct LinkKey {
    int64_t user_id;
    int mount;
    std::string path;
    bool operator<(const LinkKey& o) const {
      return std::tie(user_id, mount, path) < std::tie(o.user_id, o.mount, o.path);
    }
  };
  std::map<LinkKey, std::string> link_tokens_;  // guarded by mutex_; bounded by kMaxLinkCache
};

}  // namespace zelmic
