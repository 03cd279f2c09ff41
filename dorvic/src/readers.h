#pragma once
// The operations' answer readers: a 200 answer's body into the caller's out-parameters.
// Each assigns only what the body carries and appends to vectors without clearing them; a body that
// is not of the expected JSON shape changes nothing (except where noted).

#include <dorvic/dorvic.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dorvic {

// LIST: *size becomes "count" (0 without it, also for a body that is no JSON object); the elements
// of every array member, whatever its key, are appended to *files.
void ReadListing(const std::string& body, int32_t* size, std::vector<dorvic_file_stx>* files);

// GET: every member named like a field of the record; "filesize" is a number carried in 64 bits,
// "dir" a number kept as decimal text (or a string kept as it is).
void ReadReget(const std::string& body, dorvic_file_reget* file);

// PUT: "state", "hash", "version", "server".
void ReadAddFile(const std::string& body, dorvic_addfile_ret* ret);

// DELETE and RENAME: "version".
void ReadVersionMember(const std::string& body, int32_t* version);

// COMPARE: "version", "dateline", and the elements of every other array member appended to *files
// (without "dir", "auth" and "send").
void ReadCompare(const std::string& body, int32_t* version, int32_t* dateline,
                 std::vector<dorvic_file_stx>* files);

// VERSION: one entry per root member that is an object, numbered by the member's name.
void ReadVersions(const std::string& body, std::vector<dorvic_file_version>* versions);

// DISCUSS: one entry per object among the root's values; the root may be an object or an array.
void ReadDiscuss(const std::string& body, std::vector<dorvic_remind_msg>* messages);

// PUBLISH: "url", "day_limit", "download_limit", "max_download_limit".
void ReadPublish(const std::string& body, std::wstring* url, uint32_t* day_limit,
                 uint32_t* download_limit, uint32_t* max_download_limit);

}  // namespace dorvic
