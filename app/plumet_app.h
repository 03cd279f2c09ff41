#pragma once
// The application object: decides at start-up whether this process is the resident instance (it
// owns the mutex "PLUMET") or a later start that only hands its launch text over. Only a start
// that becomes resident loads the resident library (Qt, the session engine); a later start stays
// a small process that ends as soon as the resident has taken its text.

#include <string>

#include "platform/named_mutex.h"

namespace plumet {

class CplumetApp {
 public:
  // Runs the whole program; the process's exit status.
  int Run(int argc, char** argv);

 private:
  int RunResident(int argc, char** argv, const std::u16string& launch);
  void ExitInstance();
  // Waits (bounded) until the mutex is ours; false when it stays taken.
  bool WaitForMutex();

  std::string m_folder;
  platform::NamedMutex m_mutex;
};

}  // namespace plumet
