// Crashes in its DllMain, with the loader lock held. Wine's loader catches an
// exception there, where Windows may let it go on; the handler below sends it
// on to the top-level filter as an unhandled exception goes, and ends the
// process as the system does after it.
#include <windows.h>

namespace {
LONG CALLBACK AsUnhandled(EXCEPTION_POINTERS* exception) {
  UnhandledExceptionFilter(exception);
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    AddVectoredExceptionHandler(1, &AsUnhandled);
    *static_cast<volatile int*>(nullptr) = 1;
  }
  return TRUE;
}
