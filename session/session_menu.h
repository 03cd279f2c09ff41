#pragma once
// What the tray menu lists: one entry per session (its remote path and where it stands), whether
// copies from an earlier exit wait in the unsent store, and how many files the exit would leave
// unfinished. Plain data: the shell turns it into menu items and compares it with the last one, so
// that the desktop's menu is only rebuilt when something a person can read has changed.

#include <cstdint>
#include <string>
#include <vector>

#include "session/edit_session.h"

namespace plumet {

struct SessionMenuEntry {
  uint64_t id = 0;    // the session, for SessionList::OpenAgain
  std::wstring text;  // e.g. "/docs/notes.txt（编辑中）"
  bool operator==(const SessionMenuEntry&) const = default;
};

struct SessionMenu {
  std::vector<SessionMenuEntry> sessions;
  int stillOpen = 0;        // copies open in an editor or holding changes not yet stored
  bool unsentKept = false;  // the unsent store holds copies of an earlier run
  bool operator==(const SessionMenu&) const = default;
};

// Where a session stands, for a person: "正在打开", "编辑中", "正在上传", "已于HH:MM上传" (local
// time of its last stored version), "等待服务", "未上传" or "打开失败". `now` in seconds since
// 1970; `serviceDown`: the list has given up reaching the service for the moment.
std::wstring SessionStateText(const EditSession& session, int64_t now, bool serviceDown);

// The menu text of a session: its remote path (the end of it when long) and its state.
std::wstring SessionEntryText(const std::wstring& remotePath, const std::wstring& state);

// "退出", or "退出（N个文件仍在编辑）" while N copies are open or unsent; the exit keeps them.
std::wstring ExitText(int stillOpen);

// Whether the exit leaves this session's copy unfinished (it is kept and resumed at the next
// start).
bool StillOpen(const EditSession& session);

}  // namespace plumet
