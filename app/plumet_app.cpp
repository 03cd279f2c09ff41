#include "app/plumet_app.h"

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/handoff_block.h"
#include "app/handoff_sender.h"
#include "app/launch_argument.h"
#include "app/resident.h"
#include "platform/detached_start.h"
#include "platform/instance_folder.h"
#include "platform/scheme_registration.h"
#include "platform/window_registry.h"

namespace plumet {
namespace {

// The resident library: lib/ beside bin/ (the build layout), its private folder under the installed
// library folder, or next to the program.
void* OpenResidentLibrary() {
  std::string dir = platform::OwnProgramPath();
  if (dir.empty()) return nullptr;
  dir.erase(dir.rfind('/'));
  const std::string parent = dir.substr(0, dir.rfind('/'));
#ifdef PLUMET_RESIDENT_FROM_BIN
  const std::string installed = dir + "/" PLUMET_RESIDENT_FROM_BIN "/libplumet_resident.so";
#else
  const std::string installed;
#endif
  for (const std::string& path :
       {parent + "/lib/libplumet_resident.so", installed, dir + "/libplumet_resident.so"}) {
    if (path.empty()) continue;
    if (access(path.c_str(), R_OK) != 0) continue;
    if (void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return library;
    std::fprintf(stderr, "plumet: %s\n", dlerror());
  }
  return nullptr;
}

}  // namespace

int CplumetApp::Run(int argc, char** argv) {
  // For a person who stops using the program: links no longer start it. A running instance is
  // left alone; it registers again only when started again.
  if (argc == 2 && std::strcmp(argv[1], "--unregister") == 0) {
    if (platform::UnregisterUrlScheme("plumet", "plumet.desktop")) return 0;
    std::fprintf(stderr, "plumet: the registration of plumet:// links could not be removed\n");
    return 1;
  }
  const std::u16string launch = TakeLaunchArgument(argc, argv);
  m_folder = platform::InstanceFolder();
  if (m_folder.empty()) {
    std::fprintf(stderr, "plumet: no private folder for the single-instance objects\n");
    return 1;
  }
  bool resident = m_mutex.TryAcquire(m_folder, kMutexName);
  if (resident && !launch.empty()) {
    // Whoever ran us with a link waits for this process: the resident runs apart and this start
    // hands the link over like any later start.
    m_mutex.Release();
    resident = false;
    StartResidentApart(argv[0]);
  }
  if (!resident) {
    switch (HandOffToResident(m_folder, launch, m_mutex)) {
      case HandoffResult::kBecomeResident:
        break;  // the resident ended meanwhile: this start takes its place
      case HandoffResult::kDelivered:
        return 0;
      case HandoffResult::kNoResident:
      case HandoffResult::kNotTaken:
      case HandoffResult::kNoListener:
        // The resident is ending (it withdrew its window and stopped listening first) or never
        // came up: wait for its mutex and serve the click ourselves.
        if (!WaitForMutex()) {
          std::fprintf(stderr, "plumet: the running instance did not take the request\n");
          return 1;
        }
        break;
    }
  }
  const int status = RunResident(argc, argv, launch);
  ExitInstance();
  return status;
}

int CplumetApp::RunResident(int argc, char** argv, const std::u16string& launch) {
  void* library = OpenResidentLibrary();
  auto run = library != nullptr
                 ? reinterpret_cast<PlumetRunResident>(dlsym(library, "plumet_run_resident"))
                 : nullptr;
  if (run == nullptr) {
    std::fprintf(stderr, "plumet: the resident library libplumet_resident.so cannot be loaded\n");
    return 1;
  }
  // The library stays loaded until the process ends: Qt and GLib keep threads and handlers.
  return run(argc, argv, launch.data(), launch.size(), m_folder.c_str());
}

void CplumetApp::ExitInstance() { m_mutex.Release(); }

void CplumetApp::StartResidentApart(const char* argv0) {
  const pid_t child = platform::StartSelfDetached(argv0);
  if (child < 0) {
    std::perror("plumet: the resident instance cannot be started");
    return;  // the hand-off then finds the mutex free and this start serves the link itself
  }
  // Starting takes well under a second; the bound covers a loaded machine. A child that ended
  // early (it could not load its library) leaves the mutex free for the hand-off to take.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (platform::FindWindow(m_folder, kWindowTitle) == 0 && platform::ChildRunning(child) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool CplumetApp::WaitForMutex() {
  // An orderly exit ends within a few seconds whatever the network does; this bound is well past.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!m_mutex.TryAcquire(m_folder, kMutexName)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace plumet
