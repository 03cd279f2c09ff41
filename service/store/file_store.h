#pragma once
// Files and their versions. Folders are implicit: a folder exists while a live file lies beneath
// it. Every change of the metadata is one transaction, committed only after the content it names
// is in the blob store.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "service/store/blob_store.h"
#include "service/store/database.h"
#include "service/store/status.h"
#include "service/store/store_records.h"

namespace zelmic {

class FileStore {
 public:
  FileStore(const Database& db, const BlobStore& blobs) : db_(db), blobs_(blobs) {}

  std::optional<FileRecord> GetFile(int mount, const std::string& path) const;
  bool FolderExists(int mount, const std::string& path) const;
  // Every live file of the mount, by path.
  std::vector<FileRecord> FilesOf(int mount) const;
  // The live files of the mount by path, `limit` of them from `offset`; total: how many there are.
  // The records carry no version or message counts.
  std::vector<FileRecord> FilesPage(int mount, int offset, int limit, int& total) const;
  Status List(int mount, const std::string& folder, bool dirs_only, const std::string& order,
              int start, int size, int& total, std::vector<ListEntry>& entries) const;
  // Everything under folder (or the file itself) changed after `since`, deleted files included.
  std::vector<ListEntry> ChangedSince(int mount, const std::string& path, int64_t since) const;
  Status Versions(int mount, const std::string& path, std::vector<VersionRecord>& out) const;
  // Whether the user may already read content with this SHA-1 (a version of it lies in one of
  // the user's mounts).
  bool CanReadContent(int64_t user_id, const std::string& filehash) const;

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
  Status Revert(int64_t user_id, int mount, const std::string& path, int version, int& new_version);

  Status Delete(int64_t user_id, int mount, const std::string& path, int& version);
  Status Rename(int64_t user_id, int mount, const std::string& path, const std::string& to,
                int& version);
  Status Lock(int64_t user_id, int mount, const std::string& path, bool lock);

 private:
  // Adds a version to the file at path (the caller holds the lock inside a transaction).
  Status CommitLocked(int64_t user_id, int mount, const std::string& path,
                      const std::string& filehash, uint64_t filesize, const std::string& machine,
                      int cmd, int& version, int expect_version = 0);

  const Database& db_;
  const BlobStore& blobs_;
};

}  // namespace zelmic
