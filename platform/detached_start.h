#pragma once
// Starting the resident apart from whoever started us. A link opener (xdg-open's shell, a
// browser's launcher) waits for the program it ran; the resident lives for the whole desktop
// session, so a start with a link runs this program again, apart, and ends once it has handed the
// link over. The link never appears in the new process's arguments, which every local account can
// read.

#include <sys/types.h>

#include <string>

namespace platform {

// The absolute path of this program's own executable (from the kernel, so neither argv[0] nor the
// working folder can mislead it), or "" when the kernel does not say.
std::string OwnProgramPath();

// Starts this program's own executable again with `argv0` as its only argument, in a session of
// its own (no controlling terminal, so a closed terminal does not end it), with stdin and stdout
// on /dev/null. stderr stays where it goes unless it is a pipe: a reader waiting for the pipe's
// end would wait for the resident too. The id of the new process, or -1 (errno set).
pid_t StartSelfDetached(const char* argv0);

// True while `child` (started by this process) runs; an ended child is reaped.
bool ChildRunning(pid_t child);

}  // namespace platform
