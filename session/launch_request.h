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

// The local copy's path: the temp folder (ending in "/") followed by the remote path's last
// segment. Empty when that segment cannot name a file of ours: empty, ".", "..", longer than a
// file name may be, or holding a control character (a "/" cannot occur in it).
std::string LocalPathFor(const std::string& tempDir, const std::wstring& remotePath);

// Decodes a launch text into a new session record (state New, localPath set). nullptr when the
// text is empty, has fewer than three fields or names no usable local path.
std::unique_ptr<EditSession> ParseLaunchRequest(std::wstring_view text, const std::string& tempDir);

// The handler of a launch request, on the main thread: decodes, refuses a copy that is open
// elsewhere (balloon "[%s]文件已经打开"), registers. True when a new session was registered: the
// caller then runs OnSessionTick() at once. Nothing of the text (it holds a token) is logged.
bool OnLaunchRequest(SessionList& list, std::wstring_view text);

}  // namespace plumet
