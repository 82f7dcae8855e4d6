#include "tests/win/support/temp_folder.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "common/unique_any.h"

namespace zrvd_test {

namespace {

// Removes `path` and everything under it.
void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA found;
  HANDLE first = FindFirstFileA((path + "\\*").c_str(), &found);
  if (first != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string child = path + "\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child);
      } else {
        DeleteFileA(child.c_str());
      }
    } while (FindNextFileA(first, &found));
    FindClose(first);
  }
  RemoveDirectoryA(path.c_str());
}

}  // namespace

TempFolder::TempFolder(const std::string& name) {
  static std::atomic<int> counter{0};
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  m_path = std::string(temp) + "zrvd-" + name + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++counter);
  CreateDirectoryA(m_path.c_str(), nullptr);
}

TempFolder::~TempFolder() { RemoveTree(m_path); }

std::string TempFolder::MakeFileAt(const std::string& path, uint64_t size) {
  zrvd::unique_hfile file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::string();
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN);
  SetEndOfFile(file.get());
  return path;
}

std::string TempFolder::MakeDir(const std::string& path) {
  CreateDirectoryA(path.c_str(), nullptr);
  return path;
}

std::string ReadFileBytes(const std::string& path) {
  zrvd::unique_hfile file(CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return std::string();
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
    bytes.append(chunk, got);
  }
  return bytes;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  zrvd::unique_hfile file(
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(file.valid()) << path;
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace zrvd_test
