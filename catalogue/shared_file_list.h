// The shared-file catalogue: one registry sub key per shared file, named by its
// MD5 text, directly under the engine key (g_regRoot\g_regPath). The registry is
// the one source of truth; while the engine runs, a watch thread keeps a view of
// it in memory, so that a lookup that hits costs no registry call. Every write
// goes to the registry; a lookup that misses the view asks the registry.
//
// The one SharedFileList is also the handler of the "FileList" thread, which
// announces the catalogue to the tracker host. It is owned by a static holder
// and lives until the process ends; all its operations are safe from any thread.
// Within the engine, writes of an entry and read-compare-act sequences on one
// hold the catalogue lock (CatalogueLock); other programs' writes are met by
// comparing what was read.
#pragma once

#include <cstdint>
#include <string>

#include "catalogue/catalogue_view.h"
#include "runtime/thread.h"

// Held by the hand-over while it writes an entry and by every read-compare-act
// on an entry (RecheckEntry, DeleteIfUnchanged, MarkVerified), so that none of
// them falls between another's steps. One lock for the whole catalogue: these
// sequences are short and rare. Not reentrant; never held across a wait.
class CatalogueLock {
 public:
  CatalogueLock();
  ~CatalogueLock();
  CatalogueLock(const CatalogueLock&) = delete;
  CatalogueLock& operator=(const CatalogueLock&) = delete;

  // Called inside every sequence the lock covers, between its first step (the
  // read, or the creation of the entry's key) and its writes. For tests.
  static void Step();
};

// Test seams, null by default: `waiting` runs on a thread that finds the
// catalogue lock held, just before it waits for it; `step` from
// CatalogueLock::Step. Set them while no catalogue sequence runs.
void SetCatalogueTestHooks(void (*waiting)(), void (*step)());

class SharedFileList : public IThreadHandler {
 public:
  // The catalogue; the first call prunes stale entries and starts "FileList".
  // Safe to call from several threads at once: one object, one pruning, one thread.
  // When g_runtime is null at that first call the catalogue works without its
  // thread.
  static SharedFileList* Instance();

  // Called on the watch's thread after the engine key, deleted by someone else,
  // was created or opened again. Set before the first Instance call: a watch
  // takes the hooks set when it starts.
  static void SetKeyRecreatedHook(void (*hook)());
  // Called on the watch's thread after every read of the engine key, for the
  // settings kept there. Set before the first Instance call.
  static void SetKeyChangedHook(void (*hook)());

  // The local path registered under `md5`, or empty text when none is or the
  // file changed (the stale entry is deleted on the way).
  std::string GetLocalPath(const std::string& md5);

  // The entry under `md5`, not checked against its file: from memory when the
  // view holds it, else from the registry. False when there is none (its line
  // logged) or it cannot be read.
  bool FindEntry(const std::string& md5, CatalogueEntry* entry);
  // For an entry `seen` that did not match its file: reads it again from the
  // registry. True, with `fresh`, when it changed since `seen` was read (it is
  // worth another try); otherwise the entry is deleted, unless it cannot be
  // read, and the answer is false. Logs nothing.
  bool RecheckEntry(const std::string& md5, const CatalogueEntry& seen, CatalogueEntry* fresh);

  // For the file check: while the entry under `md5` still reads as `seen`,
  // records that its file matched (MarkVerified) or deletes it (DeleteIfUnchanged).
  // False when the entry changed or went meanwhile: a later check decides.
  bool MarkVerified(const std::string& md5, const CatalogueEntry& seen);
  bool DeleteIfUnchanged(const std::string& md5, const CatalogueEntry& seen);

  // Entries, bytes and verified entries as the view holds them now.
  CatalogueView::Totals Count() const { return m_view.Count(); }
  std::shared_ptr<const CatalogueView::Entries> AllEntries() const { return m_view.All(); }

  // Starts the thread that keeps the view fresh; without it every lookup asks
  // the registry. `manager` makes the thread.
  void StartWatch(IThreadManager* manager);

  // Checks every entry once; deletes those whose file is gone, changed or old.
  void PruneEntries();

  void Release() override;  // does nothing: the holder owns the object
  int32_t Run() override;  // the tracker announcer loop; never returns
  int32_t OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;
  ~SharedFileList() override;

 private:
  bool ReadFromRegistry(const std::string& md5, CatalogueEntry* entry, bool log_miss);
  void DeleteEntry(const std::string& md5);

  CatalogueView m_view;
};
