#include "app/main_dialog.h"

#include <dorvic/dorvic.h>

#include <QCoreApplication>
#include <QIcon>
#include <QString>
#include <cstdio>

#include "app/dorvic_network.h"
#include "app/handoff_block.h"
#include "app/hosts.h"
#include "app/scheme_entry.h"
#include "common/endpoints.h"
#include "common/transport_settings.h"
#include "platform/detached_start.h"
#include "platform/scheme_registration.h"
#include "platform/shell_open.h"
#include "platform/temp_dir.h"
#include "platform/window_registry.h"
#include "session/launch_request.h"
#include "session/session_texts.h"
#include "session/tray_tooltip.h"

namespace plumet {
namespace {

std::wstring Wide(const std::string& ascii) { return QString::fromStdString(ascii).toStdWString(); }

}  // namespace

CplumetDlg::CplumetDlg(std::string instanceFolder) : m_folder(std::move(instanceFolder)) {
  m_engine.SetDesktop(&m_notifier, &m_opener);
  connect(&m_trayIcon, &CTrayIcon::exitRequested, this, &CplumetDlg::OnExit);
  connect(&m_trayIcon, &CTrayIcon::activatedByUser, this, &CplumetDlg::OpenWebSite);
  connect(&m_trayIcon, &CTrayIcon::openSessionRequested, this, [this](quint64 id) {
    if (m_sessions && !m_exiting) m_sessions->OpenAgain(id);
  });
  connect(&m_trayIcon, &CTrayIcon::openTempFolderRequested, this, [this] {
    if (m_sessions) OpenFolder(m_sessions->tempDir());
  });
  connect(&m_trayIcon, &CTrayIcon::openUnsentRequested, this, [this] {
    if (m_sessions) OpenFolder(m_sessions->unsentDir());
  });
  connect(&m_trayCheckTimer, &QTimer::timeout, &m_trayIcon, &CTrayIcon::CheckIcon);
  connect(&m_sessionsTimer, &QTimer::timeout, this, &CplumetDlg::Tick);
  if (m_saveWatch.fd() >= 0) {
    m_saveNotifier = std::make_unique<QSocketNotifier>(m_saveWatch.fd(), QSocketNotifier::Read);
    connect(m_saveNotifier.get(), &QSocketNotifier::activated, this, [this] {
      if (m_saveWatch.Drain()) Tick();
    });
  }
}

void CplumetDlg::Tick() {
  if (!m_sessions || m_exiting) return;
  m_sessions->OnSessionTick();
  m_saveWatch.Watch(m_sessions->CopyFolders());
  m_trayIcon.SetTooltip(TrayTooltip(m_sessions->Summary()));
  m_trayIcon.SetMenu(m_sessions->Menu());
}

CplumetDlg::~CplumetDlg() {
  if (m_published) platform::WithdrawWindow(m_folder, kWindowTitle);
}

bool CplumetDlg::OnInitDialog(const std::u16string& firstLaunch) {
  const std::string api = ApiHost();
  dorvic_set_host(Wide(api));
  dorvic_set_secret(Wide(plumet_defaults::kClientSecret));
  // REST requests go through the proxy the token exchange, downloads and uploads take (the
  // library keeps a pointer to the record: it lives as long as the program).
  static dorvic_info_stx network;
  network = plumet_transport::DorvicNetworkInfo(
      plumet_transport::FromEnvironment(),
      api.find("://") == std::string::npos ? "http://" + api : api);
  dorvic_set_network_info(&network);

  // Registration failures are silent: the program works without it, only links cannot start it.
  const std::string program = platform::OwnProgramPath();
  if (!program.empty()) {
    platform::RegisterUrlScheme("plumet", "plumet.desktop", DesktopEntryFor(program));
  }

  const QIcon icon(QStringLiteral(":/plumet/plumet.png"));
  m_trayIcon.AddOrUpdateIcon(icon, kProductName, {}, {});

  const std::string temp = platform::PrivateTempDir();
  if (temp.empty()) {
    std::fprintf(stderr, "plumet: the private temporary folder cannot be used; exiting\n");
    m_trayIcon.ShowBalloon(texts::kTitle, texts::kNoTempFolder);
    return false;
  }
  m_sessions = std::make_unique<SessionList>(m_engine.Ports(), temp);
  // An answer from the network wakes the tick at once instead of at the next beat.
  m_sessions->SetWake([this] {
    QMetaObject::invokeMethod(
        this, [this] { Tick(); }, Qt::QueuedConnection);
  });

  m_trayCheckTimer.start(kTimerTrayCheckMs);
  m_sessionsTimer.start(kTimerSessionsMs);
  Publish();  // already done by the start-up, unless that failed

  m_sessions->AnnounceUnsentCopies();
  // Sessions an earlier run could not finish (kill -9, a crash, a logout) carry on first, so that
  // a click on one of their files finds its session.
  m_sessions->Resume();
  Tick();  // their unsent copies go now, not a second later
  if (!firstLaunch.empty()) OnLaunchRequest(firstLaunch);
  TakePendingLaunches();  // handed over while the start-up ran
  return true;
}

void CplumetDlg::Publish() {
  if (!m_published) m_published = platform::PublishWindow(m_folder, kWindowTitle);
}

void CplumetDlg::PostLaunchRequest(std::u16string text) {
  {
    std::lock_guard<std::mutex> guard(m_launchMutex);
    m_launches.push_back(std::move(text));
  }
  QMetaObject::invokeMethod(
      this, [this] { TakePendingLaunches(); }, Qt::QueuedConnection);
}

void CplumetDlg::TakePendingLaunches() {
  if (!m_sessions) return;  // still starting: OnInitDialog takes them once the list exists
  for (;;) {
    std::u16string text;
    {
      std::lock_guard<std::mutex> guard(m_launchMutex);
      if (m_launches.empty()) return;
      text = std::move(m_launches.front());
      m_launches.pop_front();
    }
    OnLaunchRequest(text);
  }
}

void CplumetDlg::OnLaunchRequest(const std::u16string& text) {
  if (m_sessions && m_exiting && !text.empty()) {
    // Taken while the exit began: registered, so the journal keeps the click for the next start.
    plumet::OnLaunchRequest(*m_sessions, QString::fromStdU16String(text).toStdWString());
    return;
  }
  if (m_sessions && !m_exiting && !text.empty()) {
    const std::wstring wide = QString::fromStdU16String(text).toStdWString();
    // A click should open the editor as fast as the network allows, not at the next beat.
    if (plumet::OnLaunchRequest(*m_sessions, wide)) Tick();
  }
}

void CplumetDlg::OpenWebSite() {
  if (!platform::OpenWebAddress(WebSiteUrl())) {
    std::fprintf(stderr, "plumet: no browser could be started for the web site\n");
  }
}

void CplumetDlg::OpenFolder(const std::string& path) {
  if (!platform::OpenFolder(path)) {
    std::fprintf(stderr, "plumet: no file manager could be started for %s\n", path.c_str());
  }
}

void CplumetDlg::OnExit() {
  if (m_exiting) return;
  m_exiting = true;
  // First nobody new may hand a link to us: a later start now waits for the mutex instead.
  if (m_published) platform::WithdrawWindow(m_folder, kWindowTitle);
  m_published = false;
  if (m_beforeExit) m_beforeExit();
  m_trayCheckTimer.stop();
  m_sessionsTimer.stop();
  TakePendingLaunches();
  if (m_sessions) {
    m_sessions->CloseAllSessions();
    m_leftWorkRunning = m_sessions->LeftWorkRunning();
  }
  QCoreApplication::quit();
}

}  // namespace plumet
