#pragma once
// The session list on disk, so that a kill -9, a crash or a logout loses no saved edit: the next
// start reads it and carries on watching and sending the copies.
//
//   DIR/sessions.json     one entry per session: mount, remote path, copy, work folder, the hash
//                         downloaded, the hash last stored, state, the copy's time at its last
//                         confirmed upload, whether it holds unsent changes (a click not served
//                         yet is kept too, and served by the next start)
//   DIR/credentials.json  the refresh token of each of those sessions, and nothing else
//
// Both are 0600 in a 0700 folder and replaced atomically (written beside, flushed, renamed), so a
// reader sees the old list or the new one, never a mix. A session whose record is lost on the way
// (no folder, a full disk) goes on running; the next write tries again.

#include <memory>
#include <string>
#include <vector>

#include "session/edit_session.h"

namespace plumet {

class SessionJournal {
 public:
  // `dir`: the folder (created when missing); empty keeps no journal.
  explicit SessionJournal(std::string dir);

  // Writes the sessions that have a copy worth keeping, when that differs from what was last
  // written. Called under the session lock at every state change.
  void Write(const std::vector<std::unique_ptr<EditSession>>& sessions);

  // The sessions of an earlier run, as records in the state a resumed session starts in
  // (Editing; Failed when its upload had failed for good; New for a click not served yet), with
  // their refresh tokens. Records
  // that cannot be trusted (not ours, malformed) are left out.
  std::vector<std::unique_ptr<EditSession>> Read();

  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::string lastJournal_;
  std::string lastCredentials_;
};

}  // namespace plumet
