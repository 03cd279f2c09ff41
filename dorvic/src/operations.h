#pragma once
// The operations of the library on a given client; the exports run them on the global client.

#include <dorvic/dorvic.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dorvic/src/client.h"

namespace dorvic {

// Files.
bool ListFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
              int32_t mount, int32_t dir, int32_t start, int32_t& size, const std::wstring& order,
              std::vector<dorvic_file_stx>& files);
bool GetFileRealUrl(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
                    int32_t mount, const std::wstring& filehash, std::wstring& url);
bool AddFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, const std::wstring& filehash, uint64_t filesize, int32_t version,
             dorvic_addfile_ret& ret);
bool DelFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, int32_t& version);
bool RenameFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
                int32_t mount, const std::wstring& newname, int32_t& version);
bool RegetFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
               int32_t mount, dorvic_file_reget& file);

// Versions.
bool Compare(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, int32_t& version, int32_t& dateline,
             std::vector<dorvic_file_stx>& files);
bool Versions(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
              int32_t mount, std::vector<dorvic_file_version>& versions);
bool Revert(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
            int32_t mount, int32_t version);
bool LockFile(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
              int32_t mount, bool lock);

// Collaboration.
bool Remarks(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, const std::wstring& message);
bool Remind(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
            int32_t mount, const std::vector<std::wstring>& emails, const std::wstring& message);
bool Discuss(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, std::vector<dorvic_remind_msg>& messages);
bool Publish(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
             int32_t mount, std::wstring& url, uint32_t& day_limit, uint32_t& download_limit,
             uint32_t& max_download_limit);
bool Share(CdorvicClient& client, const std::wstring& token, const std::wstring& path,
           int32_t mount, const std::vector<std::wstring>& emails, const std::wstring& message);

}  // namespace dorvic
