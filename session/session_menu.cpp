#include "session/session_menu.h"

#include <time.h>

namespace plumet {

namespace {

// Menus are one line: a long path keeps its end, where the file's name is.
constexpr size_t kPathShown = 60;

std::wstring ClockTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm local{};
  if (localtime_r(&t, &local) == nullptr) return L"--:--";
  wchar_t text[8];
  swprintf(text, sizeof text / sizeof text[0], L"%02d:%02d", local.tm_hour, local.tm_min);
  return text;
}

}  // namespace

std::wstring SessionStateText(const EditSession& session, int64_t now, bool serviceDown) {
  switch (session.state) {
    case EditSessionState::New:
    case EditSessionState::Downloading:
      return L"正在打开";
    case EditSessionState::Uploading:
    case EditSessionState::Uploaded:
      return L"正在上传";
    case EditSessionState::Failed:
      return session.unsent ? L"未上传" : L"打开失败";
    case EditSessionState::Editing:
      break;
  }
  if (session.unsent) {
    // Only a new click brings these further: an expired link, an upload refused for good.
    if (session.waitingForClick || session.stopped) return L"未上传";
    if (serviceDown || session.retryAt > now || session.tokenFailures > 0) return L"等待服务";
    return L"正在上传";  // saved a moment ago; the upload starts with the next step
  }
  if (session.storedAt != 0) return L"已于" + ClockTime(session.storedAt) + L"上传";
  return L"编辑中";
}

std::wstring SessionEntryText(const std::wstring& remotePath, const std::wstring& state) {
  std::wstring path = remotePath;
  if (path.size() > kPathShown) path = L"…" + path.substr(path.size() - (kPathShown - 1));
  return path + L"（" + state + L"）";
}

std::wstring ExitText(int stillOpen) {
  if (stillOpen <= 0) return L"退出";
  return L"退出（" + std::to_wstring(stillOpen) + L"个文件仍在编辑）";
}

bool StillOpen(const EditSession& session) {
  switch (session.state) {
    case EditSessionState::Editing:
    case EditSessionState::Uploading:
    case EditSessionState::Uploaded:
      return true;
    case EditSessionState::New:
    case EditSessionState::Downloading:
    case EditSessionState::Failed:
      break;
  }
  return session.unsent;
}

}  // namespace plumet
