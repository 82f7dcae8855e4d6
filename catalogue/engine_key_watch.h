// Keeps the catalogue's view in step with the registry: a change notification on
// the engine key (sub keys included, names and values) wakes the watch, which
// reads the catalogue again. The notification is armed before each read, so a
// change made during a read is never missed: it wakes the next round.
//
// A deleted engine key is created again (its catalogue empty, as the registry
// then says), or opened again when another program has made it again already,
// and `on_recreated` is called, so that values others read from the key, such
// as the IPC port, can be written again. The watch asks its own handle whether
// it names a deleted key: the name alone would open the new key.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>

#include "catalogue/catalogue_view.h"
#include "common/unique_any.h"
#include "runtime/thread.h"

class EngineKeyWatch : public IThreadHandler {
 public:
  // `view` must outlive the watch. The callbacks run on the watch's thread.
  explicit EngineKeyWatch(CatalogueView* view);

  // Called after the key was found deleted and then created or opened again.
  void SetOnRecreated(std::function<void()> on_recreated) { m_onRecreated = std::move(on_recreated); }
  // Called after every read of the key, for other readers of its values.
  void SetOnChanged(std::function<void()> on_changed) { m_onChanged = std::move(on_changed); }

  // One round: opens (or re-creates) the engine key, arms the notification and
  // reads the catalogue into the view. False when the key cannot be had; the
  // view is then cleared, so lookups go to the registry.
  bool Refresh();
  // Waits up to `timeout_ms` for a change; true when one came. Also true when
  // the watched key has been deleted, which not every system signals.
  bool WaitForChange(DWORD timeout_ms);

  void Release() override;
  int32_t Run() override;  // Refresh and wait, for as long as the process runs
  int32_t OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;
  ~EngineKeyWatch() override;

 private:
  bool OpenKey();
  // Whether the handle names a key that was deleted (made again or not).
  bool KeyDeleted();
  // Reads the entries into the view; an entry whose key has not been written
  // since it was last read is taken from that read (one call per entry, not six).
  void ReadIntoView();

  struct Known {
    FILETIME written;
    // Read twice under the same write time. A key's write time is coarse: a
    // write just after the first read may carry the same time, and its own
    // notification brings the second read.
    bool settled;
    bool readable;
    CatalogueEntry entry;
  };

  CatalogueView* const m_view;
  zrvd::unique_hkey m_key;
  zrvd::unique_handle m_changed;
  bool m_hadKey = false;
  bool m_lost = false;  // the handle was found naming a deleted key
  std::function<void()> m_onRecreated;
  std::function<void()> m_onChanged;
  std::map<std::string, Known> m_known;  // the last read, by name as enumerated
};
