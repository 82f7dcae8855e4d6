#include "uploadpolicy/served_stats.h"

#include <algorithm>
#include <chrono>

#include "runtime/md5_text.h"

ServedStats& ServedStats::Shared() {
  static ServedStats stats;
  return stats;
}

int64_t ServedStats::SteadySeconds() {
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
}

void ServedStats::AddRequest() {
  const int64_t now_s = m_clock();
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_requests;
  ++m_window.At(now_s).requests;
}

void ServedStats::AddBytes(const std::string& md5, const std::string& path, uint64_t bytes) {
  const int64_t now_s = m_clock();
  std::string key = UpperMd5Text(md5);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bytes += bytes;
  m_window.At(now_s).bytes += bytes;
  m_history.Add(now_s, bytes);
  StatusFileServed& file = m_files[key];
  // Called per piece sent: copy the texts only when the file is new (or moved).
  if (file.bytes == 0) file.md5 = key;
  if (file.path != path) file.path = path;
  file.bytes += bytes;
}

ServedStats::Figures ServedStats::Read(size_t top_count) const {
  Figures figures;
  const int64_t now_s = m_clock();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    figures.requests = m_requests;
    figures.bytes = m_bytes;
    for (int64_t ago = 0; ago < kWindowSeconds; ++ago) {
      const Second second = m_window.Get(now_s - ago);
      figures.requests_60s += second.requests;
      figures.bytes_60s += second.bytes;
    }
    for (const auto& item : m_files) figures.top.push_back(item.second);
    figures.rate = m_history.Read(now_s);
  }
  const size_t keep = std::min(top_count, figures.top.size());
  std::partial_sort(figures.top.begin(), figures.top.begin() + keep, figures.top.end(),
                    [](const StatusFileServed& a, const StatusFileServed& b) {
                      return a.bytes > b.bytes || (a.bytes == b.bytes && a.md5 < b.md5);
                    });
  figures.top.resize(keep);
  return figures;
}
