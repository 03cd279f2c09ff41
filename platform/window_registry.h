#pragma once
// How a later start finds the resident instance's window by its title: the window publishes an
// entry named after its title in the instance folder for as long as it exists. The entry records
// the process id and that process's start time, so an entry left by a killed process (or by a
// process whose id has since been reused) is recognised as stale and ignored.

#include <sys/types.h>

#include <string>

namespace platform {

// Publishes the calling process's window `title` in `folder` (written whole, then renamed into
// place). False when it cannot be written.
bool PublishWindow(const std::string& folder, const std::string& title);

// Removes the entry when it is this process's own.
void WithdrawWindow(const std::string& folder, const std::string& title);

// The id of the live process that published `title`, or 0 when there is none.
pid_t FindWindow(const std::string& folder, const std::string& title);

}  // namespace platform
