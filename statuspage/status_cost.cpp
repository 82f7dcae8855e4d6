#include "statuspage/status_cost.h"

#include <cstdio>

#include "runtime/json_text.h"

namespace {

const char* ConnectionText(const UploadBook::Figures& f) {
  switch (f.cost) {
    case ConnectionCost::kUnrestricted:
      return "unrestricted";
    case ConnectionCost::kMetered:
      return f.settings.serve_on_metered ? "metered, overridden by setting" : "metered";
    default:
      return "unknown";
  }
}

const char* RefusalText(InternetRefusal refusal) {
  return refusal == InternetRefusal::kMetered ? "metered"
         : refusal == InternetRefusal::kBudget ? "budget"
                                                : nullptr;
}

uint64_t BudgetLeft(const UploadBook::Figures& f) {
  const uint64_t used = f.month_internet_bytes;
  return used >= f.settings.budget_bytes ? 0 : f.settings.budget_bytes - used;
}

std::string Mib(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  return text;
}

}  // namespace

std::string FormatCostJson(const UploadBook::Figures& f) {
  const char* refused = RefusalText(f.refused);
  const bool budget = f.settings.budget_bytes != 0;
  return std::string("{\"connection\":") + JsonString(ConnectionText(f)) +
         ",\"internet_refused\":" + (refused ? JsonString(refused) : std::string("null")) +
         ",\"budget_mb\":" + std::to_string(f.settings.budget_bytes >> 20) +
         ",\"budget_left_bytes\":" + (budget ? std::to_string(BudgetLeft(f)) : "null") +
         ",\"month\":" + JsonString(MonthText(f.month)) +
         ",\"lan_bytes\":" + std::to_string(f.lan_bytes) +
         ",\"internet_bytes\":" + std::to_string(f.internet_bytes) +
         ",\"month_lan_bytes\":" + std::to_string(f.month_lan_bytes) +
         ",\"month_internet_bytes\":" + std::to_string(f.month_internet_bytes) + "}";
}

std::vector<std::pair<std::string, std::string>> FormatCostRows(const UploadBook::Figures& f) {
  const char* refused = RefusalText(f.refused);
  const std::string budget =
      f.settings.budget_bytes == 0
          ? "none"
          : std::to_string(f.settings.budget_bytes >> 20) + " MiB a month, " + Mib(BudgetLeft(f)) +
                " left";
  return {
      {"connection", ConnectionText(f)},
      {"internet peers", refused ? std::string("refused: ") + refused : std::string("served")},
      {"budget", budget},
      {"to LAN", Mib(f.lan_bytes) + " since start, " + Mib(f.month_lan_bytes) + " in " +
                     MonthText(f.month)},
      {"to internet", Mib(f.internet_bytes) + " since start, " + Mib(f.month_internet_bytes) +
                          " in " + MonthText(f.month)},
  };
}
