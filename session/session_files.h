#pragma once
// Where a session's files lie and how they go: the copy's folder, the session's work folder (the
// download before it is complete, the snapshot an upload reads) and the names unsent copies are
// moved aside to.

#include <string>

#include "session/edit_session.h"

namespace plumet {

// The folder part of a path, with its trailing '/'.
std::string FolderOf(const std::string& path);

std::string DownloadPart(const EditSession& s);
std::string Snapshot(const EditSession& s);

// Empties and removes the session's work folder; its files are all of our own making.
void RemoveWorkDir(const EditSession& s);

// Removes the copy's now empty folders up to the temp folder (a folder with anything in it stays).
void RemoveEmptyFolders(const std::string& tempDir, std::string dir);

// "name.ext" -> "name.unsent-N.ext": the extension stays, so the kept copy opens as before.
std::string AsideName(const std::string& path, int n);

}  // namespace plumet
