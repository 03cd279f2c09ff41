#pragma once
// A launch URL turned into a new edit session: "plumet://" + base64 of "mount|remote path|refresh
// token", with an optional trailing "/".

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "session/edit_session.h"
#include "session/session_list.h"

namespace plumet {

// Standard base64 ("+", "/"): bytes outside the alphabet are skipped, "=" in a group's third or
// fourth place ends the text, a trailing group of two or three characters gives one or two bytes.
std::string Base64Decode(std::string_view text);

// The non-empty segments of `text` between separators, in order.
std::vector<std::string> SplitNonEmpty(std::string_view text, char separator);

// The local copy's path: a folder of its own per remote folder, so that two remote files of the
// same name never share a copy, and the file's own name, so that the editor shows it:
//   TEMP/<mount>/<remote folders>/<name>
// When a remote folder's name could not be a folder of ours ("", ".", "..", a control character,
// too long) or the whole path would be too long, the folders are replaced by a short hash of them:
//   TEMP/<mount>.h/<16 hex digits>/<name>
// (a mount number never ends in ".h", so the two forms cannot meet). Empty when the last segment
// cannot name a file of ours: empty, ".", "..", longer than a file name may be, or holding a
// control character.
std::string LocalPathFor(const std::string& tempDir, int32_t mount, const std::wstring& remotePath);

// The private folder of one session's own files (the download before it is complete, the
// snapshots its uploads read): TEMP/.work/<16 hex digits of the mount and remote path>/. Outside
// the tree of copies, so no copy can ever be one of these files.
std::string WorkDirFor(const std::string& tempDir, int32_t mount, const std::wstring& remotePath);

// Decodes a launch text into a new session record (state New, localPath set). nullptr when the
// text is empty, has fewer than three fields or names no usable local path.
std::unique_ptr<EditSession> ParseLaunchRequest(std::wstring_view text, const std::string& tempDir);

// The handler of a launch request, on the main thread: decodes, refuses a copy that is open
// elsewhere (balloon "[%s]文件已经打开"), registers. A click on a file that has a session already
// goes to that session (its copy is opened again; see SessionList::RegisterSession). True when the
// list took the request: the caller then runs OnSessionTick() at once. Nothing of the text (it
// holds a token) is logged.
bool OnLaunchRequest(SessionList& list, std::wstring_view text);

}  // namespace plumet
