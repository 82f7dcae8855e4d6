#include "runtime/last_outcome.h"

#include <ctime>
#include <mutex>

namespace {

std::mutex g_lock;
StatusOutcome g_webReport;
StatusOutcome g_announcement;

void Record(StatusOutcome* outcome, const std::string& result) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  std::lock_guard<std::mutex> lock(g_lock);
  outcome->time = now;
  outcome->result = result;
}

StatusOutcome Read(const StatusOutcome& outcome) {
  std::lock_guard<std::mutex> lock(g_lock);
  return outcome;
}

}  // namespace

void RecordWebReport(const std::string& result) { Record(&g_webReport, result); }
void RecordAnnouncement(const std::string& result) { Record(&g_announcement, result); }
StatusOutcome LastWebReport() { return Read(g_webReport); }
StatusOutcome LastAnnouncement() { return Read(g_announcement); }
