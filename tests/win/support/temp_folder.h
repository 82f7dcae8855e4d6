// Scratch files for tests: a folder of its own under %TEMP%, and small file
// helpers.
#pragma once

#include <cstdint>
#include <string>

namespace zrvd_test {

// A fresh folder "zrvd-<name>-<process>-<n>" under %TEMP%, removed with
// everything in it when the object goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& name = "test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "\\" + name; }

  // A file of `size` bytes (sparse past what is written: contents do not
  // matter); its path, or empty text when it cannot be made.
  std::string MakeFile(const std::string& name, uint64_t size) { return MakeFileAt(File(name), size); }
  std::string MakeFileAt(const std::string& path, uint64_t size);
  std::string MakeDir(const std::string& path);

 private:
  std::string m_path;
};

std::string ReadFileBytes(const std::string& path);
// Fails the test when the file cannot be made.
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

}  // namespace zrvd_test
