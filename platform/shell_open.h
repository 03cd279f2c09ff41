#pragma once
// Opening a file or a web address the way the desktop would: the default application that the
// XDG associations (mimeapps.list, the desktop entries) name for the content type. A file from the
// service must never run code: content whose type is executed rather than opened by its handler
// (desktop entries, native executables and libraries, Windows executables and installers, Java
// archives...) is refused, whatever its name claims.

#include <string>

namespace platform {

enum class OpenOutcome {
  kOpened,     // the default application (or the desktop's chooser) was started
  kRefused,    // the content would run code; nothing was started
  kNoHandler,  // no application is associated and no chooser could be asked
  kFailed,     // the application could not be started, or the file cannot be read
};

// The content type of the file at `path` from its name and first bytes ("text/plain", ...), or
// empty when it cannot be read.
std::string ContentTypeOf(const std::string& path);

// True when the file at `path` holds content that runs code when "opened" (judged by its name and,
// independently, by its first bytes alone).
bool RunsCode(const std::string& path);

// Opens the local file `path` in its default application. Without an association, the desktop
// portal (where one runs) is asked to let the user choose.
OpenOutcome OpenInDefaultApplication(const std::string& path);

// Opens an http(s) address in the default browser. False when nothing could be started.
bool OpenWebAddress(const std::string& url);

// Shows the folder at `path` in the default file manager. False when nothing could be started.
bool OpenFolder(const std::string& path);

}  // namespace platform
