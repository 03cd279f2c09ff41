#pragma once
// The records the store hands out: users' access, files, versions, messages, published links and
// download targets, and how long tokens live.

#include <cstdint>
#include <string>

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

}  // namespace zelmic
