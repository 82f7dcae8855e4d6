// Stands in for a game executable in the watch tests: `zrvd_idle SECONDS` runs for
// SECONDS, then ends. `zrvd_idle short PATH` prints PATH's short form.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "short") == 0) {
    char short_form[MAX_PATH] = {};
    if (GetShortPathNameA(argv[2], short_form, MAX_PATH) == 0) return 1;
    std::printf("%s\n", short_form);
    return 0;
  }
  int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  Sleep(static_cast<DWORD>(seconds) * 1000u);
  return 0;
}
