#pragma once
// The tray icon's tooltip: the product name, and below it the transfer that runs, if any, so
// that a person sees a long download or upload move.

#include <string>

#include "session/session_list.h"

namespace plumet {

inline constexpr const wchar_t* kProductName = L"Zelmic在线编辑插件";

// kProductName with one line per count that is not zero: files waiting to open, open for editing,
// waiting to be sent. While a transfer runs, also a line such as "上传 42% notes.txt" ("下载" for a
// download) with the file's name, not its whole path.
std::wstring TrayTooltip(const SessionSummary& summary);

}  // namespace plumet
