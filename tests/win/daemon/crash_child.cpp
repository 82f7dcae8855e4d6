// Crashes as the daemon would, with its crash dumps installed for the log
// setting given as the first argument, and kovashare.dll loaded.
#include <windows.h>

#include "daemon/crash_dump.h"
#include "engine/kovashare.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  InstallCrashDumpsFor(argv[1]);
  KovaShareFinish();
  *static_cast<volatile int*>(nullptr) = 1;
  return 0;
}
