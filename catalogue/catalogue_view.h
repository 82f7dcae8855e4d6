// The catalogue's entries as last read from the registry, kept in memory so
// that a peer's lookup costs no registry call. The registry stays the one
// source of truth: the view is only ever replaced whole by a fresh read of it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// What a lookup needs of one entry: where the file is and what it looked like
// when it was shared.
struct CatalogueEntry {
  std::string local_path;
  std::string modify_time;  // 14 digits, local time
  uint32_t length = 0;
  // "Verified" is 1: the file's content matched its MD5 text. Not part of what
  // makes two reads of an entry the same: it says nothing about the file.
  bool verified = false;
};

bool operator==(const CatalogueEntry& a, const CatalogueEntry& b);

// Safe from any thread. Entry names compare without regard to ASCII letter
// case, as registry key names do for MD5 texts.
class CatalogueView {
 public:
  using Entries = std::map<std::string, CatalogueEntry>;

  // Until the first Replace the view knows nothing and every Find misses.
  bool Loaded() const;
  bool Find(const std::string& name, CatalogueEntry* entry) const;
  // Takes a whole fresh read; names are folded here.
  void Replace(const Entries& entries);
  // Drops one entry ahead of the next fresh read (the engine deleted its key).
  void Erase(const std::string& name);
  // Back to knowing nothing: lookups go to the registry again.
  void Clear();
  size_t Size() const;

  struct Totals {
    uint64_t entries = 0;
    uint64_t bytes = 0;
    uint64_t verified = 0;
  };
  Totals Count() const;
  // Every entry as the view holds it now; null before the first Replace.
  std::shared_ptr<const Entries> All() const;

  // The folded form under which names are kept.
  static std::string Fold(const std::string& name);

 private:
  mutable std::mutex m_mutex;
  // Swapped whole, so a reload never holds the lock while it reads the registry.
  std::shared_ptr<const Entries> m_entries;
};
