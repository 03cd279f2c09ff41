#pragma once
// Ctrl-C and SIGTERM for a command-line program that writes files: instead of ending the process
// in the middle of a transfer, they raise a flag that the transfer looks at, so that it can stop
// and remove what it had begun to write.

namespace platform {

// From now on SIGINT and SIGTERM only raise the flag.
void CatchInterrupts();

// Whether SIGINT or SIGTERM arrived since CatchInterrupts. Safe from any thread.
bool Interrupted();

}  // namespace platform
