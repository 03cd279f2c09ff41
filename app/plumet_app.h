#pragma once
// The application object: decides at start-up whether this process is the resident instance (it
// owns the mutex "PLUMET") or a later start that only hands its launch text over. Only a start
// that becomes resident loads the resident library (Qt, the session engine); a later start stays
// a small process that ends as soon as the resident has taken its text. A start with a link that
// finds no resident starts one apart and then hands the link over too, so it always ends quickly.

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
  // Starts the resident as a process of its own and waits (bounded) until its window is published
  // or it has ended.
  void StartResidentApart(const char* argv0);
  // Waits (bounded) until the mutex is ours; false when it stays taken.
  bool WaitForMutex();

  std::string m_folder;
  platform::NamedMutex m_mutex;
};

}  // namespace plumet
