#pragma once
// A private desktop for tests of the real program: its own HOME, XDG folders, TMPDIR and runtime
// folder (set in this test process's environment while the object lives, so every child inherits
// them), a private D-Bus
// session bus with the fake desktop services, and optionally an X server (Xvfb). Every process it
// starts is ended by its PID when the object goes.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace plumet_test {

class DesktopSession {
 public:
  DesktopSession();
  ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  bool ok() const { return root_.ok(); }
  const std::string& root() const { return root_.path(); }
  std::string Path(const std::string& relative) const { return root_.File(relative); }

  bool StartBus();                   // dbus-daemon on a socket in root
  bool StartServices(bool watcher);  // fake notifications (+ StatusNotifierWatcher)
  void StopServices();
  bool StartDisplay();  // Xvfb, sets DISPLAY (and drops QT_QPA_PLATFORM)

  // Starts argv[0] with its output appended to root/NAME.out (NAME = last path part of argv[0]).
  pid_t Start(const std::vector<std::string>& argv);
  // The wait status, or -1 when it did not end within `limit` (it keeps running then).
  int WaitExit(pid_t pid, std::chrono::milliseconds limit);
  void Kill(pid_t pid, int signal);  // signal, then reap (SIGKILL after 5 s)

  // Lines the fake services logged so far, and waiting for one that contains all `parts`.
  std::vector<std::string> ServiceLog() const;
  bool WaitForLog(const std::vector<std::string>& parts, std::chrono::milliseconds limit,
                  std::string* line = nullptr) const;
  size_t CountLog(const std::string& part) const;

  // Where the resident publishes itself, and the folder of the working copies.
  std::string WindowEntry() const;
  // The live process the window entry names, or 0.
  pid_t PublishedResident() const;
  // The resident a start with a link ran apart, once that start has ended (it is our child from
  // then on): waits (bounded) for its window and ends it with the others. 0 when none came.
  pid_t AdoptResident();
  std::string CopyFolder() const;
  bool WaitForFile(const std::string& path, std::chrono::milliseconds limit) const;

 private:
  struct Saved {
    std::string name;
    bool set;
    std::string value;
  };
  std::vector<Saved> saved_;  // the environment as it was, restored at the end
  ScratchDir root_;
  pid_t bus_ = -1, services_ = -1, display_ = -1;
  std::vector<pid_t> started_;
};

// "plumet://" + base64 of "mount|remotePath|token" + "/".
std::string LaunchUrl(int mount, const std::string& remotePath, const std::string& token);

// Path of the program under test and of the helper.
std::string PlumetPath();
std::string FakeServicesPath();

}  // namespace plumet_test
