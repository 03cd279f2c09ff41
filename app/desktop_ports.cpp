#include "app/desktop_ports.h"

#include "app/hosts.h"
#include "app/tray_icon.h"
#include "platform/desktop_notification.h"
#include "platform/shell_open.h"

namespace plumet {

void DesktopNotifier::ShowBalloon(const std::wstring& title, const std::wstring& text) {
  // Only the D-Bus send happens here, and a D-Bus connection may be used from any thread.
  tray_.ShowBalloon(title, text);
}

void DesktopNotifier::ShowLasting(const std::wstring& title, const std::wstring& text,
                                  const NoticeAction& action) {
  // Only the D-Bus send happens here, and a D-Bus connection may be used from any thread. The
  // action runs later, on the main thread, when the user chooses it.
  platform::NotificationAction offer;
  switch (action.kind) {
    case NoticeAction::Kind::kOpenFolder:
      offer = {L"打开文件夹", [folder = action.folder] { platform::OpenFolder(folder); }};
      break;
    case NoticeAction::Kind::kReopenWebPage:
      offer = {L"重新打开网页", [] { platform::OpenWebAddress(WebSiteUrl()); }};
      break;
    case NoticeAction::Kind::kNone:
      break;
  }
  tray_.ShowLastingBalloon(title, text, std::move(offer));
}

OpenResult DesktopOpener::OpenWithAssociatedApp(const std::string& path) {
  switch (platform::OpenInDefaultApplication(path)) {
    case platform::OpenOutcome::kOpened:
      return OpenResult::kOpened;
    case platform::OpenOutcome::kRefused:
      return OpenResult::kRunsCode;
    case platform::OpenOutcome::kNoHandler:
      return OpenResult::kNoAssociation;
    case platform::OpenOutcome::kFailed:
      break;
  }
  return OpenResult::kFailed;
}

}  // namespace plumet
