#include "uploadpolicy/served_stats.h"

#include <algorithm>

ServedStats& ServedStats::Shared() {
  static ServedStats stats;
  return stats;
}

ServedStats::Second& ServedStats::SecondOf(int64_t now_s) {
  Second& second = m_window[static_cast<size_t>(((now_s % kWindowSeconds) + kWindowSeconds) %
                                                kWindowSeconds)];
  if (second.stamp != now_s) second = Second{now_s, 0, 0};
  return second;
}

void ServedStats::AddRequest(int64_t now_s) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_requests;
  ++SecondOf(now_s).requests;
}

void ServedStats::AddBytes(const std::string& md5, const std::string& path, uint64_t bytes,
                           int64_t now_s) {
  std::string key = md5;
  for (char& c : key) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bytes += bytes;
  SecondOf(now_s).bytes += bytes;
  m_history.Add(now_s, bytes);
  StatusFileServed& file = m_files[key];
  // Called per piece sent: copy the texts only when the file is new (or moved).
  if (file.bytes == 0) file.md5 = key;
  if (file.path != path) file.path = path;
  file.bytes += bytes;
}

ServedStats::Figures ServedStats::Read(int64_t now_s, size_t top_count) const {
  Figures figures;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    figures.requests = m_requests;
    figures.bytes = m_bytes;
    for (const Second& second : m_window) {
      if (second.stamp > now_s - kWindowSeconds && second.stamp <= now_s) {
        figures.requests_60s += second.requests;
        figures.bytes_60s += second.bytes;
      }
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
