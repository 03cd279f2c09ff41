#pragma once
// dorvic: client of the cloud file service's signed REST interface.
//
// One process-wide client holds the host, the signing secret, the proxy settings and the last
// error. Every operation is one HTTP request; it returns true exactly when the service answered
// status 200, otherwise the reason is read with dorvic_get_last_error_code. Requests are
// serialised: at most one is in flight per process. Records and vectors are owned by the caller;
// operations assign only the fields the answer carries and append to vectors without clearing them.

#include <cstdint>
#include <string>
#include <vector>

#define DORVIC_API __attribute__((visibility("default")))

// One entry of a folder listing or of a comparison.
struct dorvic_file_stx {
  std::wstring hash;
  std::wstring fullpath;
  std::wstring filename;
  std::wstring filehash;
  int64_t filesize = 0;
  int32_t version = 0;
  int32_t cmd = 0;
  int32_t dir = 0;
  int32_t last_member_id = 0;
  std::wstring last_member_name;
  int32_t dateline = 0;
  int32_t auth = 0;
  int32_t send = 0;
  int32_t lock = 0;
  int32_t nosync = 0;  // -1 when the answer's entry has no "nosync" member
};

// The current state of one stored file.
struct dorvic_file_reget {
  std::wstring hash;
  std::wstring dir;  // the answer's number, as decimal text
  std::wstring fullpath;
  std::wstring filename;
  std::wstring ext;
  std::wstring filehash;
  int64_t filesize = 0;
  int32_t version = 0;
  int32_t cmd = 0;
  int32_t last_member_id = 0;
  std::wstring last_member_name;
  std::wstring last_member_machine;
  int32_t nosync = 0;
  int32_t lock = 0;
  int32_t vcount = 0;
  int32_t share = 0;
  int32_t publish = 0;
  int32_t discuss = 0;
  std::wstring uri;  // where the content is downloaded from
};

// Answer of dorvic_add_file: state non-zero when the service already holds the content, otherwise
// server is the base URL of the upload server and hash names the upload there.
struct dorvic_addfile_ret {
  int32_t state = 0;
  std::wstring hash;
  int32_t version = 0;
  std::wstring server;
};

// Proxy settings; used only when useProxy is true. proxyType is a libcurl proxy type code.
struct dorvic_info_stx {
  bool useProxy = false;
  int32_t proxyType = 0;
  std::wstring proxyHost;
  int32_t proxyPort = 0;
  std::wstring proxyUser;  // credentials are sent only when this is not empty
  std::wstring proxyPassword;
};

// One stored version of a file; version is the name of the answer member that describes it.
struct dorvic_file_version {
  int32_t version = 0;
  int64_t filesize = 0;
  std::wstring filehash;
  int32_t last_member_id = 0;
  std::wstring last_member_name;
  int32_t dateline = 0;
  int32_t cmd = 0;
};

// One discussion message.
struct dorvic_remind_msg {
  std::wstring text;
  std::wstring member_name;
  int32_t lasttime = 0;
};

// Configuration and last error. Configure before the first operation; these take no lock.
DORVIC_API void dorvic_set_host(std::wstring host);
DORVIC_API std::wstring dorvic_get_host();
DORVIC_API void dorvic_set_secret(std::wstring secret);
// Stores the pointer itself: keep the record alive and unchanged while operations can run.
DORVIC_API void dorvic_set_network_info(dorvic_info_stx* info);
DORVIC_API int32_t dorvic_get_last_error_code();
DORVIC_API int32_t dorvic_get_last_error_code(std::wstring& message);

// File operations.
DORVIC_API bool dorvic_list_file(std::wstring token, std::wstring path, int32_t mount, int32_t dir,
                                 int32_t start, int32_t& size, std::wstring order,
                                 std::vector<dorvic_file_stx>& files);
DORVIC_API bool dorvic_get_file_real_url(std::wstring token, std::wstring path, int32_t mount,
                                         std::wstring filehash, std::wstring& url);
DORVIC_API bool dorvic_add_file(std::wstring token, std::wstring path, int32_t mount,
                                std::wstring filehash, uint64_t filesize, int32_t version,
                                dorvic_addfile_ret& ret);
DORVIC_API bool dorvic_del_file(std::wstring token, std::wstring path, int32_t mount,
                                int32_t& version);
DORVIC_API bool dorvic_rename_file(std::wstring token, std::wstring path, int32_t mount,
                                   std::wstring newname, int32_t& version);
DORVIC_API bool dorvic_regetfile(std::wstring token, std::wstring path, int32_t mount,
                                 dorvic_file_reget& file);

// Version operations.
DORVIC_API bool dorvic_compare(std::wstring token, std::wstring path, int32_t mount,
                               int32_t& version, int32_t& dateline,
                               std::vector<dorvic_file_stx>& files);
DORVIC_API bool dorvic_version(std::wstring token, std::wstring path, int32_t mount,
                               std::vector<dorvic_file_version>& versions);
DORVIC_API bool dorvic_revert(std::wstring token, std::wstring path, int32_t mount,
                              int32_t version);
DORVIC_API bool dorvic_lockfile(std::wstring token, std::wstring path, int32_t mount, bool lock);

// Collaboration operations.
DORVIC_API bool dorvic_remarks(std::wstring token, std::wstring path, int32_t mount,
                               std::wstring message);
DORVIC_API bool dorvic_remind(std::wstring token, std::wstring path, int32_t mount,
                              const std::vector<std::wstring>& emails, std::wstring message);
DORVIC_API bool dorvic_discuss(std::wstring token, std::wstring path, int32_t mount,
                               std::vector<dorvic_remind_msg>& messages);
DORVIC_API bool dorvic_publish(std::wstring token, std::wstring path, int32_t mount,
                               std::wstring& url, uint32_t& day_limit, uint32_t& download_limit,
                               uint32_t& max_download_limit);
DORVIC_API bool dorvic_share(std::wstring token, std::wstring path, int32_t mount,
                             const std::vector<std::wstring>& emails, std::wstring message);
