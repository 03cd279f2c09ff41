#pragma once
// The application object: decides at start-up whether this process is the resident instance (it
// owns the mutex "PLUMET") or a later start that only hands its launch text over, runs the
// resident instance's event loop, and stops the listener at the exit.

#include <string>

#include "app/handoff_listener.h"
#include "platform/named_mutex.h"

namespace plumet {

class CplumetApp {
 public:
  // Runs the whole program; the process's exit status.
  int Run(int argc, char** argv);

 private:
  int RunResident(int argc, char** argv, const std::u16string& launch);
  void ExitInstance();

  std::string m_folder;
  platform::NamedMutex m_mutex;
  HandoffListener m_listener;
};

}  // namespace plumet
