// Prints one registry value as the registry keeps it, for tests that check
// stored types and sizes: `regvalue KEY NAME` under HKLM prints
// "<type number> <size in bytes> <data as hex>"; exit code 1 when absent.
// Strings are read through the wide call: its size counts the stored
// characters, a terminating NUL only when one was stored.
#include <windows.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, KEY_READ, &key) != ERROR_SUCCESS) return 1;
  wchar_t name[256] = {};
  MultiByteToWideChar(CP_ACP, 0, argv[2], -1, name, 256);
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return 1;
  std::vector<unsigned char> data(size + 2);
  RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
  RegCloseKey(key);
  std::printf("%lu %lu ", static_cast<unsigned long>(type), static_cast<unsigned long>(size));
  for (DWORD i = 0; i < size; ++i) std::printf("%02x", data[i]);
  std::printf("\n");
  return 0;
}
