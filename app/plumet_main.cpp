#include "app/command_line.h"
#include "app/plumet_app.h"

int main(int argc, char** argv) {
  // Before the application object: answering --help must leave the caller's session untouched.
  if (const int status = plumet::AnswerCommandLine(argc, argv); status >= 0) return status;
  plumet::CplumetApp app;
  return app.Run(argc, argv);
}
