#include "app/plumet_app.h"

int main(int argc, char** argv) {
  plumet::CplumetApp app;
  return app.Run(argc, argv);
}
