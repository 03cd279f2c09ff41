#pragma once
// Registration of a URL scheme handler with the desktop: a desktop entry in
// $XDG_DATA_HOME/applications and the scheme's default application in
// $XDG_CONFIG_HOME/mimeapps.list, which is what `xdg-open "scheme://..."` and the browsers consult.
//
// mimeapps.list is the user's file: only our one key is changed, every other line and comment is
// kept as it was, the new content replaces the old atomically, and a symlinked file is written
// through to its target (the link stays).

#include <string>

namespace platform {

// The text of `mimeapps` with `key`=`value` under [Default Applications]: the key's lines in that
// section are set (the first kept in place, repeats dropped), or the key is added at the end of the
// section, or the section is appended. Everything else is returned unchanged.
std::string SetDefaultApplication(const std::string& mimeapps, const std::string& key,
                                  const std::string& value);

// The Exec value that starts `program` with the URL as its one argument: the path (quoted and
// escaped by the desktop entry rules when it holds a reserved character), then " %u".
std::string DesktopExecLine(const std::string& program);

// Writes `content` to `path` by a sibling temporary file renamed over it; when `path` is a
// symlink, its target is replaced instead and the link kept. The mode of an existing file is kept.
bool WriteFileAtomically(const std::string& path, const std::string& content);

// Writes `desktop_file` (a file name such as "plumet.desktop") with `entry` into the applications
// folder and makes it the default of x-scheme-handler/`scheme`. Files whose content is already
// right are not rewritten. False on any failure; callers may ignore it. A mimeapps.list that
// exists but cannot be read (anything but "no such file") is left alone and nothing is
// registered; the reason goes to stderr and the system log.
bool RegisterUrlScheme(const std::string& scheme, const std::string& desktop_file,
                       const std::string& entry);

// The text of `mimeapps` without the lines `key`=`value` of [Default Applications]; the key is
// left alone when it names another application. Everything else is returned unchanged.
std::string RemoveDefaultApplication(const std::string& mimeapps, const std::string& key,
                                     const std::string& value);

// Undoes RegisterUrlScheme: deletes `desktop_file` from the applications folder and its default
// of x-scheme-handler/`scheme`. Nothing to remove counts as success.
bool UnregisterUrlScheme(const std::string& scheme, const std::string& desktop_file);

}  // namespace platform
