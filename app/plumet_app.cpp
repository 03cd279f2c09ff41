#include "app/plumet_app.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "app/handoff_block.h"
#include "app/handoff_sender.h"
#include "app/launch_argument.h"
#include "app/resident.h"
#include "platform/instance_folder.h"

namespace plumet {
namespace {

// The resident library: lib/ beside bin/ (the build and install layout), or next to the program.
void* OpenResidentLibrary() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return nullptr;
  std::string dir(buffer, static_cast<size_t>(n));
  dir.erase(dir.rfind('/'));
  const std::string parent = dir.substr(0, dir.rfind('/'));
  for (const std::string& path :
       {parent + "/lib/libplumet_resident.so", dir + "/libplumet_resident.so"}) {
    if (access(path.c_str(), R_OK) != 0) continue;
    if (void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return library;
    std::fprintf(stderr, "plumet: %s\n", dlerror());
  }
  return nullptr;
}

}  // namespace

int CplumetApp::Run(int argc, char** argv) {
  const std::u16string launch = TakeLaunchArgument(argc, argv);
  m_folder = platform::InstanceFolder();
  if (m_folder.empty()) {
    std::fprintf(stderr, "plumet: no private folder for the single-instance objects\n");
    return 1;
  }
  if (!m_mutex.TryAcquire(m_folder, kMutexName)) {
    switch (HandOffToResident(m_folder, launch, m_mutex)) {
      case HandoffResult::kBecomeResident:
        break;  // the resident ended meanwhile: this start takes its place
      case HandoffResult::kDelivered:
        return 0;
      case HandoffResult::kNoResident:
      case HandoffResult::kNotTaken:
      case HandoffResult::kNoListener:
        std::fprintf(stderr, "plumet: the running instance did not take the request\n");
        return 1;
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

}  // namespace plumet
