#include "catalogue/catalogue_view.h"

#include "runtime/md5_text.h"

bool operator==(const CatalogueEntry& a, const CatalogueEntry& b) {
  return a.local_path == b.local_path && a.modify_time == b.modify_time && a.length == b.length;
}

std::string CatalogueView::Fold(const std::string& name) { return UpperMd5Text(name); }

bool CatalogueView::Loaded() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_entries != nullptr;
}

bool CatalogueView::Find(const std::string& name, CatalogueEntry* entry) const {
  std::shared_ptr<const Entries> entries;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    entries = m_entries;
  }
  if (!entries) return false;
  const auto found = entries->find(Fold(name));
  if (found == entries->end()) return false;
  *entry = found->second;
  return true;
}

void CatalogueView::Replace(const Entries& entries) {
  auto folded = std::make_shared<Entries>();
  for (const auto& item : entries) (*folded)[Fold(item.first)] = item.second;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_entries = std::move(folded);
}

void CatalogueView::Erase(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_entries) return;
  const std::string folded = Fold(name);
  if (m_entries->count(folded) == 0) return;
  auto copy = std::make_shared<Entries>(*m_entries);
  copy->erase(folded);
  m_entries = std::move(copy);
}

void CatalogueView::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_entries.reset();
}

size_t CatalogueView::Size() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_entries ? m_entries->size() : 0;
}

std::shared_ptr<const CatalogueView::Entries> CatalogueView::All() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_entries;
}

CatalogueView::Totals CatalogueView::Count() const {
  std::shared_ptr<const Entries> entries;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    entries = m_entries;
  }
  Totals totals;
  if (!entries) return totals;
  for (const auto& item : *entries) {
    ++totals.entries;
    totals.bytes += item.second.length;
    if (item.second.verified) ++totals.verified;
  }
  return totals;
}
