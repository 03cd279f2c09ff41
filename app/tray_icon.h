#pragma once
// The program's icon in the notification area and its notifications. On Linux the icon is a
// QSystemTrayIcon: a StatusNotifierItem where a StatusNotifierWatcher runs on the session bus,
// otherwise an XEmbed tray icon where an X tray host runs. Notifications go over D-Bus and are
// sent whether or not an icon is shown. Lives on the main thread; ShowBalloon alone may be called
// from any thread.

#include <QIcon>
#include <QObject>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop_notification.h"
#include "session/session_menu.h"

class QAction;
class QMenu;
class QSystemTrayIcon;
class QDBusServiceWatcher;

class CTrayIcon : public QObject {
  Q_OBJECT

 public:
  // Text capacities in UTF-16 code units, the terminating zero included.
  static constexpr int kTooltipCapacity = 128;
  static constexpr int kTitleCapacity = 64;
  static constexpr int kTextCapacity = 256;

  explicit CTrayIcon(QObject* parent = nullptr);
  ~CTrayIcon() override;  // RemoveIcon()

  // Shows the icon with `tooltip` (or updates it). A non-empty title or text is also sent as a
  // notification. Returns whether the icon is shown; the result is kept for the icon check.
  bool AddOrUpdateIcon(const QIcon& icon, const std::wstring& tooltip, const std::wstring& title,
                       const std::wstring& text);

  // A notification with `title` as its summary and `text` as its body, shown 2000 ms. False when
  // it could not be sent.
  bool ShowBalloon(const std::wstring& title, const std::wstring& text);
  // The same, shown until the user closes it: failures and kept copies must not slip by unseen.
  // `action`, if any, is offered where the notification server shows actions.
  bool ShowLastingBalloon(const std::wstring& title, const std::wstring& text,
                          platform::NotificationAction action = {});

  // Changes the tooltip of the icon, shown or not (a shown one is told only when it changed).
  void SetTooltip(const std::wstring& tooltip);

  bool RemoveIcon();  // always true

  // The menu: one entry per session, "打开临时文件夹", "打开未上传的副本" while copies are kept,
  // and "退出" with what it leaves open. Only a change is passed on to the desktop.
  void SetMenu(const plumet::SessionMenu& menu);

  // The icon check (every 2000 ms): adds the icon again when the last add failed.
  void CheckIcon();

  bool visible() const { return m_bVisible; }

 signals:
  void exitRequested();  // the menu command "退出"
  void openSessionRequested(quint64 id);
  void openTempFolderRequested();
  void openUnsentRequested();
  void activatedByUser();  // click or double click on the icon

 private:
  void ReAdd();
  void BuildMenu();
  void FillMenu();

  std::unique_ptr<QSystemTrayIcon> m_tray;
  std::unique_ptr<QMenu> m_menu;
  // Session entries are kept and reused, hidden when not needed: the desktop's menu items Qt
  // makes for an action are never freed, so actions are not made anew on every change.
  std::vector<QAction*> m_sessionActions;
  std::vector<quint64> m_sessionIds;
  QAction* m_sessionsEnd = nullptr;  // the separator below the sessions
  QAction* m_unsentAction = nullptr;
  QAction* m_exitAction = nullptr;
  plumet::SessionMenu m_model;
  QDBusServiceWatcher* m_watcher = nullptr;
  QIcon m_icon;
  QString m_tooltip;
  bool m_bVisible = false;
  qint64 m_lastActivation = 0;
};
