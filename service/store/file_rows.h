#pragma once
// Reading file and version rows, shared by the parts of the store that act on files. The caller
// holds the database lock, or reads through a ReadConnection (the forms taking a handle).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "service/store/database.h"
#include "service/store/sqlite_util.h"
#include "service/store/status.h"
#include "service/store/store_records.h"

namespace zelmic::rows {

// The file at path with its current version and counts; deleted files only when with_deleted.
std::optional<FileRecord> LoadFile(const Database& db, int mount, const std::string& path,
                                   bool with_deleted);
std::optional<FileRecord> LoadFile(sqlite3* db, int mount, const std::string& path,
                                   bool with_deleted);
// One version of a file (version 0 when there is none).
VersionRecord LoadVersion(const Database& db, int64_t file_id, int version);
VersionRecord LoadVersion(sqlite3* db, int64_t file_id, int version);

// The columns that ReadListedFile reads, for a query over `files f` joined with its current
// version `v` and that version's member `u` (both LEFT JOINs).
extern const char* const kListedFileColumns;
// A file row of such a query starting at column `first`; it carries the share count but not the
// version and message counts (listings do not show them).
FileRecord ReadListedFile(const Statement& q, int first);

// Folders are implicit: "/a" is a folder while a live file lies under "/a/". The paths under a
// folder are those between Prefix(folder) and UpperBound(Prefix(folder)) in binary order.
std::string Prefix(const std::string& folder);
std::string UpperBound(const std::string& prefix);
bool HasLiveFileUnder(const Database& db, int mount, const std::string& folder);
bool HasLiveFileUnder(sqlite3* db, int mount, const std::string& folder);
// Every live file under the folder, by path.
std::vector<FileRecord> LiveFilesUnder(const Database& db, int mount, const std::string& folder);
// The nearest folder above path that is a live file (none may be: a file cannot lie in a file).
std::optional<std::string> FileAbove(const Database& db, int mount, const std::string& path);

// A deleted file at path gives way to whatever takes its place next, so that nothing of it (its
// versions and their download locations, messages, shares) passes to the newcomer; its content
// stays in the blob store. The caller is inside a transaction. False when the rows could not go.
bool RemoveDeletedFile(const Database& db, int mount, const std::string& path);
// The rows of one file: its versions, messages, shares and the file itself.
bool RemoveFileRows(const Database& db, int64_t file_id);

// Refuses (507) adding `adding` bytes when they would take the user past a quota: what the
// user's versions hold, history and deleted files included, since they take space until purged.
Status CheckQuota(const Database& db, int64_t user_id, uint64_t adding);

// A locked file may be changed only by the member who locked it.
Status CheckUnlocked(const FileRecord& file, int64_t user_id);

}  // namespace zelmic::rows
