// Keeps the catalogue's view in step with the registry: a change notification on
// the engine key (sub keys included, names and values) wakes the watch, which
// reads the catalogue again. The notification is armed before each read, so a
// change made during a read is never missed: it wakes the next round.
//
// A deleted engine key is created again (its catalogue empty, as the registry
// then says) and `on_recreated` is called, so that values others read from the
// key, such as the IPC port, can be written again.
#pragma once

#include <windows.h>

#include <functional>

#include "catalogue/catalogue_view.h"
#include "common/unique_any.h"
#include "engine/thread.h"

class EngineKeyWatch : public IThreadHandler {
 public:
  // `view` must outlive the watch. The callbacks run on the watch's thread.
  explicit EngineKeyWatch(CatalogueView* view);

  void SetOnRecreated(std::function<void()> on_recreated) { m_onRecreated = std::move(on_recreated); }
  // Called after every read of the key, for other readers of its values.
  void SetOnChanged(std::function<void()> on_changed) { m_onChanged = std::move(on_changed); }

  // One round: opens (or re-creates) the engine key, arms the notification and
  // reads the catalogue into the view. False when the key cannot be had; the
  // view is then cleared, so lookups go to the registry.
  bool Refresh();
  // Waits up to `timeout_ms` for a change; true when one came. Also true when
  // the key has been deleted, which not every system signals.
  bool WaitForChange(DWORD timeout_ms);

  void Release() override;
  int32_t Run() override;  // Refresh and wait, for as long as the process runs
  int32_t OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;
  ~EngineKeyWatch() override;

 private:
  bool OpenKey();
  bool KeyStillThere();

  CatalogueView* const m_view;
  zrvd::unique_hkey m_key;
  zrvd::unique_handle m_changed;
  bool m_hadKey = false;
  std::function<void()> m_onRecreated;
  std::function<void()> m_onChanged;
};

// Reads every readable entry under `engine` (as a lookup would read it).
CatalogueView::Entries ReadCatalogue(HKEY engine);
