#pragma once
// The resident instance's main window. It is never shown: on Linux it is a plain Qt object that
// owns what the program does after start-up (the session list and its ports, the tray icon, the
// two timers) and receives the hand-offs of later starts as queued calls. Its presence is
// published in the instance folder under the title "plumet", which is how later starts find it.

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/desktop_ports.h"
#include "app/tray_icon.h"
#include "platform/save_watch.h"
#include "session/engine_ports.h"
#include "session/session_list.h"

namespace plumet {

class CplumetDlg : public QObject {
  Q_OBJECT

 public:
  // The two timers' periods: the icon check (adds the icon again when the last add failed) and
  // the session tick.
  static constexpr int kTimerTrayCheckMs = 2000;
  static constexpr int kTimerSessionsMs = 1000;

  explicit CplumetDlg(std::string instanceFolder);
  ~CplumetDlg() override;

  // Configures the library, registers the URL scheme, adds the icon, starts the timers, publishes
  // the window and handles the first start's own launch text. False when the program cannot run
  // (no private temporary folder); the user has then been told.
  bool OnInitDialog(const std::u16string& firstLaunch);

  // From any thread (the listener): queues the launch request to the main thread.
  void PostLaunchRequest(std::u16string text);

  // Publishes the window, so that later starts hand their links over. Done before the slow part
  // of the start-up (icon, session bus): a click meanwhile waits in the queue, it is not lost.
  void Publish();

  // The exit command ("退出", SIGTERM, SIGINT, SIGHUP, SIGQUIT): the window is withdrawn and
  // `beforeExit` runs first (it stops the listener: later starts then wait for the mutex and take
  // over), then links already taken are registered, sessions closed (bounded, see
  // SessionList::CloseAllSessions), event loop ended. Safe to call twice.
  void OnExit();
  void SetBeforeExit(std::function<void()> beforeExit) { m_beforeExit = std::move(beforeExit); }

  // True when the exit left a call or a transfer running: the process then ends without waiting.
  bool LeftWorkRunning() const { return m_leftWorkRunning; }

 private:
  void OnLaunchRequest(const std::u16string& text);
  void TakePendingLaunches();
  void OpenWebSite();
  void OpenFolder(const std::string& path);
  void Tick();

  std::string m_folder;
  CTrayIcon m_trayIcon;
  DesktopNotifier m_notifier{m_trayIcon};
  DesktopOpener m_opener;
  EnginePorts m_engine;
  std::unique_ptr<SessionList> m_sessions;
  QTimer m_trayCheckTimer;
  QTimer m_sessionsTimer;
  // A save in a copy's folder runs the tick at once; the timer stays as the fallback.
  platform::SaveWatch m_saveWatch;
  std::unique_ptr<QSocketNotifier> m_saveNotifier;
  bool m_published = false;
  bool m_exiting = false;
  bool m_leftWorkRunning = false;
  std::function<void()> m_beforeExit;
  // Links handed over and not yet served, in order (the listener adds, the main thread takes).
  std::mutex m_launchMutex;
  std::deque<std::u16string> m_launches;
};

}  // namespace plumet
