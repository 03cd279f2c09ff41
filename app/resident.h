#pragma once
// The resident instance's side of the program, in its own shared library: the Qt application,
// the hidden main window, the listener and the session engine. A later start only hands its text
// over and ends; it never loads this library, so it does not pay for loading the GUI stack.

#include <cstddef>

extern "C" {

// Runs the resident instance in `folder` (whose mutex the caller owns) with the first start's own
// launch text (UTF-16, may be empty) until the orderly exit. Returns the process's exit status.
int plumet_run_resident(int argc, char** argv, const char16_t* launch, size_t launchUnits,
                        const char* folder);

using PlumetRunResident = int (*)(int, char**, const char16_t*, size_t, const char*);

}  // extern "C"
