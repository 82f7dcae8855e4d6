// The shared-file catalogue: one registry sub key per shared file, named by its
// MD5 text, directly under the engine key (g_regRoot\g_regPath). Nothing is kept
// in memory: every call reads or writes the registry as it runs.
//
// The one SharedFileList is also the handler of the "FileList" thread, which
// announces the catalogue to the tracker host. It is owned by a static holder
// and lives until the process ends; all its operations are safe from any thread
// (each registry call stands by itself; there is no lock around the catalogue).
#pragma once

#include <cstdint>
#include <string>

#include "engine/thread.h"

class SharedFileList : public IThreadHandler {
 public:
  // The catalogue; the first call prunes stale entries and starts "FileList".
  // Safe to call from several threads at once: one object, one pruning, one thread.
  // When g_runtime is null at that first call the catalogue works without its
  // thread.
  static SharedFileList* Instance();

  // The local path registered under `md5`, or empty text when none is or the
  // file changed (the stale entry is deleted on the way).
  std::string GetLocalPath(const std::string& md5);

  // Checks every entry once; deletes those whose file is gone, changed or old.
  void PruneEntries();

  void Release() override;  // does nothing: the holder owns the object
  int32_t Run() override;  // the tracker announcer loop; never returns
  int32_t OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;
  ~SharedFileList() override;
};
