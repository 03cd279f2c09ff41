#pragma once
// The two ports of the session engine that need the desktop: notifications through the tray
// icon object, and opening a copy in its default application. Both may be called from a download
// thread with the session lock held; neither calls back into the session list.

#include "session/session_ports.h"

class CTrayIcon;

namespace plumet {

class DesktopNotifier : public Notifier {
 public:
  explicit DesktopNotifier(CTrayIcon& tray) : tray_(tray) {}
  void ShowBalloon(const std::wstring& title, const std::wstring& text) override;
  void ShowLasting(const std::wstring& title, const std::wstring& text,
                   const NoticeAction& action) override;

 private:
  CTrayIcon& tray_;
};

class DesktopOpener : public Opener {
 public:
  OpenResult OpenWithAssociatedApp(const std::string& path) override;
};

}  // namespace plumet
