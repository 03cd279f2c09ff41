#pragma once
// Background work that nobody waits for yields the processors to work that someone does.

namespace platform {

// Runs the calling thread at scheduling niceness `nice` unless it already runs at a higher one.
// Threads it starts afterwards inherit the value. False when the system refused.
bool LowerThreadPriority(int nice);

}  // namespace platform
