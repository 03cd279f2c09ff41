#include "app/desktop_ports.h"

#include "app/tray_icon.h"
#include "platform/shell_open.h"

namespace plumet {

void DesktopNotifier::ShowBalloon(const std::wstring& title, const std::wstring& text) {
  // Only the D-Bus send happens here, and a D-Bus connection may be used from any thread.
  tray_.ShowBalloon(title, text);
}

void DesktopNotifier::ShowLasting(const std::wstring& title, const std::wstring& text) {
  // Only the D-Bus send happens here, and a D-Bus connection may be used from any thread.
  tray_.ShowLastingBalloon(title, text);
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
