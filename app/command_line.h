#pragma once
// What the command line asks for, judged before anything else runs: an option that only prints
// (--help, --version) or a wrong argument must not register the scheme, take the single-instance
// mutex or start a resident in the caller's session.

namespace plumet {

// The program's usage text, for --help on stdout and after a wrong argument on stderr.
extern const char* const kUsage;

// Answers --help and --version, and refuses every argument that is neither a plumet:// link nor
// --unregister (alone), with a line on stderr. The exit status when the process should end here;
// -1 when it goes on to the resident or the hand-off.
int AnswerCommandLine(int argc, char** argv);

}  // namespace plumet
