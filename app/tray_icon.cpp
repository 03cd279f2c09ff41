#include "app/tray_icon.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "platform/desktop_notification.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define PLUMET_LSAN 1
#endif

namespace {

constexpr int kBalloonTimeoutMs = 2000;

QString Truncated(const std::wstring& text, int capacity) {
  QString s = QString::fromStdWString(text);
  if (s.size() >= capacity) {
    s.truncate(capacity - 1);
    if (!s.isEmpty() && s.back().isHighSurrogate()) s.chop(1);
  }
  return s;
}

}  // namespace

CTrayIcon::CTrayIcon(QObject* parent) : QObject(parent) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    // A tray host that restarts loses every item: put ours back once it is there again.
    m_watcher = new QDBusServiceWatcher(
        QStringLiteral("org.kde.StatusNotifierWatcher"), bus,
        QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
        this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this,
            [this] { QTimer::singleShot(1000, this, &CTrayIcon::ReAdd); });
    // Gone with its watcher: the icon check keeps trying until a host takes it again.
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { m_bVisible = false; });
  }
}

CTrayIcon::~CTrayIcon() {
  RemoveIcon();
  m_menu.reset();  // first: the platform menu items it made go with it
  m_tray.reset();
}

bool CTrayIcon::AddOrUpdateIcon(const QIcon& icon, const std::wstring& tooltip,
                                const std::wstring& title, const std::wstring& text) {
  m_icon = icon;
  m_tooltip = Truncated(tooltip, kTooltipCapacity);
  if (!title.empty() || !text.empty()) ShowBalloon(title, text);

  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    RemoveIcon();
    m_bVisible = false;
    return false;
  }
  if (!m_tray) {
    m_tray = std::make_unique<QSystemTrayIcon>();
    BuildMenu();
    connect(m_tray.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick) {
                return;
              }
              // A double click also reports its first click: one browser window is enough.
              const qint64 now = QDateTime::currentMSecsSinceEpoch();
              if (now - m_lastActivation < 1000) return;
              m_lastActivation = now;
              emit activatedByUser();
            });
  }
  m_tray->setIcon(m_icon);
  m_tray->setToolTip(m_tooltip);
  m_tray->show();
  m_bVisible = m_tray->isVisible();
  return m_bVisible;
}

void CTrayIcon::BuildMenu() {
  m_menu = std::make_unique<QMenu>();
  m_sessionsEnd = m_menu->addSeparator();
  connect(m_menu->addAction(QStringLiteral("打开临时文件夹")), &QAction::triggered, this,
          &CTrayIcon::openTempFolderRequested);
  m_unsentAction = m_menu->addAction(QStringLiteral("打开未上传的副本"));
  connect(m_unsentAction, &QAction::triggered, this, &CTrayIcon::openUnsentRequested);
  m_menu->addSeparator();
  m_exitAction = m_menu->addAction(QStringLiteral("退出"));
  connect(m_exitAction, &QAction::triggered, this, &CTrayIcon::exitRequested);
  m_sessionActions.clear();
  m_sessionIds.clear();
  FillMenu();
#ifdef PLUMET_LSAN
  // Qt's D-Bus menu makes a platform item per action that nothing ever frees; a few per icon,
  // so not ours to report.
  __lsan::ScopedDisabler qtMenuItems;
#endif
  m_tray->setContextMenu(m_menu.get());
}

void CTrayIcon::SetMenu(const plumet::SessionMenu& menu) {
  if (menu == m_model) return;
  m_model = menu;
  FillMenu();
}

void CTrayIcon::FillMenu() {
  if (!m_menu) return;
  const auto& entries = m_model.sessions;
  while (m_sessionActions.size() < entries.size()) {
#ifdef PLUMET_LSAN
    __lsan::ScopedDisabler qtMenuItems;  // as in BuildMenu: one platform item per action
#endif
    auto* action = new QAction(m_menu.get());
    const size_t index = m_sessionActions.size();
    connect(action, &QAction::triggered, this, [this, index] {
      if (index < m_sessionIds.size()) emit openSessionRequested(m_sessionIds[index]);
    });
    m_menu->insertAction(m_sessionsEnd, action);
    m_sessionActions.push_back(action);
  }
  m_sessionIds.clear();
  for (size_t i = 0; i < m_sessionActions.size(); ++i) {
    const bool shown = i < entries.size();
    if (shown) {
      // "&" marks a shortcut letter in a menu text: a path's own stays a character.
      QString text = QString::fromStdWString(entries[i].text);
      m_sessionActions[i]->setText(text.replace(QLatin1Char('&'), QStringLiteral("&&")));
      m_sessionIds.push_back(entries[i].id);
    }
    m_sessionActions[i]->setVisible(shown);
  }
  m_sessionsEnd->setVisible(!entries.empty());
  m_unsentAction->setVisible(m_model.unsentKept);
  m_exitAction->setText(QString::fromStdWString(plumet::ExitText(m_model.stillOpen)));
}

bool CTrayIcon::ShowBalloon(const std::wstring& title, const std::wstring& text) {
  const QString summary = Truncated(title, kTitleCapacity);
  const QString body = Truncated(text, kTextCapacity);
  return platform::SendDesktopNotification(summary.toStdWString(), body.toStdWString(),
                                           kBalloonTimeoutMs);
}

bool CTrayIcon::ShowLastingBalloon(const std::wstring& title, const std::wstring& text,
                                   platform::NotificationAction action) {
  const QString summary = Truncated(title, kTitleCapacity);
  const QString body = Truncated(text, kTextCapacity);
  // A time-out of 0 asks the notification server to keep it until it is closed.
  return platform::SendDesktopNotification(summary.toStdWString(), body.toStdWString(), 0,
                                           std::move(action));
}

void CTrayIcon::SetTooltip(const std::wstring& tooltip) {
  const QString text = Truncated(tooltip, kTooltipCapacity);
  if (text == m_tooltip) return;
  m_tooltip = text;
  if (m_tray) m_tray->setToolTip(m_tooltip);
}

bool CTrayIcon::RemoveIcon() {
  // Hidden, not destroyed: showing it again registers it afresh with whatever host is there now.
  if (m_tray) m_tray->hide();
  return true;
}

void CTrayIcon::CheckIcon() {
  // Only after a failed add: a shown icon follows its host by itself (an X tray's manager
  // selection, the watcher's name on the bus), and asking the host every beat costs a round trip.
  if (!m_bVisible) AddOrUpdateIcon(m_icon, m_tooltip.toStdWString(), {}, {});
}

void CTrayIcon::ReAdd() {
  RemoveIcon();
  m_bVisible = false;
  AddOrUpdateIcon(m_icon, m_tooltip.toStdWString(), {}, {});
}
