#pragma once
// The real ports of the engine side: system clock, token exchange against the token host,
// dorvic_regetfile, the platform file probes, download and upload tasks, stderr+syslog failure
// lines. The shell adds its notifier and opener and hands Ports() to the SessionList.
//
//   plumet::EnginePorts engine;
//   engine.SetDesktop(&notifier, &opener);
//   plumet::SessionList list(engine.Ports(), tempDir);

#include <memory>

#include "session/session_ports.h"

namespace plumet {

class EnginePorts {
 public:
  EnginePorts();
  ~EnginePorts();
  EnginePorts(const EnginePorts&) = delete;
  EnginePorts& operator=(const EnginePorts&) = delete;

  void SetDesktop(Notifier* notifier, Opener* opener);
  SessionPorts Ports() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Notifier* notifier_ = nullptr;
  Opener* opener_ = nullptr;
};

}  // namespace plumet
