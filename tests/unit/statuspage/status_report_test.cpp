#include "statuspage/status_report.h"

#include <gtest/gtest.h>

#include <map>

#include "statuspage/status_cost.h"
#include "uploadpolicy/delay_status.h"

namespace {

// Quotes, backslashes and control bytes are escaped; ANSI bytes past ASCII come
// out one \u00XX per byte, so the JSON stays ASCII whatever the code page.
TEST(StatusReport, JsonStringEscapes) {
  EXPECT_EQ(JsonString("C:\\games\\a \"b\".pak"), "\"C:\\\\games\\\\a \\\"b\\\".pak\"");
  EXPECT_EQ(JsonString(std::string("\r\n\x01\x7f", 4)), "\"\\u000d\\u000a\\u0001\\u007f\"");
  EXPECT_EQ(JsonString("\xD3\xCE\xCF\xB7"), "\"\\u00d3\\u00ce\\u00cf\\u00b7\"");
  EXPECT_EQ(JsonString(""), "\"\"");
  // Paths decoded to UTF-8: characters, not bytes; broken UTF-8 shows as U+FFFD.
  EXPECT_EQ(JsonStringUtf8("C:\\\xE6\xB8\xB8\xE6\x88\x8F.pak"), "\"C:\\\\\\u6e38\\u620f.pak\"");
  EXPECT_EQ(JsonStringUtf8("\xC3\xA9\"\t"), "\"\\u00e9\\\"\\u0009\"");
  EXPECT_EQ(JsonStringUtf8("\xF0\x9F\x98\x80"), "\"\\ud83d\\ude00\"");
  EXPECT_EQ(JsonStringUtf8("a\xFF\xC3"), "\"a\\ufffd\\ufffd\"");
  EXPECT_EQ(JsonStringUtf8("\xC0\xAF\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\"")
      << "overlong and surrogate forms";
}

TEST(StatusReport, UtcTimes) {
  EXPECT_EQ(FormatUtcTime(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(FormatUtcTime(951782400), "2000-02-29T00:00:00Z");
  EXPECT_EQ(FormatUtcTime(1796651425), "2026-12-07T13:50:25Z");
}

// Never-run outcomes are null, and an idle check is null rather than "".
TEST(StatusReport, JsonOfAFreshEngine) {
  StatusSnapshot s;
  s.start_time = 100;
  s.now = 160;
  s.http_port = 8080;
  s.top.push_back({"ABC", "C:\\x", 5});
  std::string json = FormatStatusJson(s);
  EXPECT_NE(json.find("\"uptime_s\":60"), std::string::npos) << json;
  EXPECT_NE(json.find("\"last_web_report\":null"), std::string::npos) << json;
  EXPECT_NE(json.find("\"checking\":null"), std::string::npos) << json;
  EXPECT_NE(json.find("\"top\":[{\"md5\":\"ABC\",\"path\":\"C:\\\\x\",\"bytes\":5}]"),
            std::string::npos)
      << json;
  EXPECT_EQ(json.find("\"page\""), std::string::npos) << "no token, no page";
  s.files.push_back({"ABC", "C:\\\xE6\xB8\xB8", 9, "checked", 5});
  s.bytes_per_second = {0, 7};
  s.page_token = "t0";
  json = FormatStatusJson(s);
  EXPECT_NE(json.find("\"files\":[{\"md5\":\"ABC\",\"path\":\"C:\\\\\\u6e38\",\"size\":9,"
                      "\"state\":\"checked\",\"bytes\":5}]"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"bytes_per_second\":[0,7]}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"page\":{\"url\":\"http://127.0.0.1:8080/\",\"token\":\"t0\"}}"),
            std::string::npos)
      << json;
  s.web_report = {1796651425, "ok"};
  EXPECT_NE(FormatStatusJson(s).find(
                "\"last_web_report\":{\"time\":\"2026-12-07T13:50:25Z\",\"result\":\"ok\"}"),
            std::string::npos);
}

// A flat JSON object's fields, each value as written (strings with their quotes).
std::map<std::string, std::string> Fields(const std::string& object) {
  std::map<std::string, std::string> fields;
  size_t at = 1;
  while (at < object.size() && object[at] == '"') {
    const size_t name_end = object.find('"', at + 1);
    size_t end = name_end + 2;
    bool quoted = false;
    while (end < object.size() && (quoted || (object[end] != ',' && object[end] != '}'))) {
      if (object[end] == '"') quoted = !quoted;
      ++end;
    }
    fields[object.substr(at + 1, name_end - at - 1)] = object.substr(name_end + 2, end - name_end - 2);
    at = end + 1;
  }
  return fields;
}

// The cost object's fields, as the status page reads them, with and without a budget.
TEST(StatusReport, CostJson) {
  UploadBook::Figures f;
  f.cost = ConnectionCost::kMetered;
  f.month = 202612;
  f.lan_bytes = 7;
  f.month_internet_bytes = 3;
  const std::map<std::string, std::string> none = {
      {"connection", "\"metered\""}, {"internet_refused", "null"}, {"budget_mb", "0"},
      {"budget_left_bytes", "null"}, {"month", "\"2026-12\""}, {"lan_bytes", "7"},
      {"internet_bytes", "0"}, {"month_lan_bytes", "0"}, {"month_internet_bytes", "3"}};
  EXPECT_EQ(Fields(FormatCostJson(f)), none);
  f.settings.serve_on_metered = true;
  f.settings.budget_bytes = 2 << 20;
  f.refused = InternetRefusal::kBudget;
  const std::string json = FormatCostJson(f);
  std::map<std::string, std::string> spent = Fields(json);
  EXPECT_EQ(spent["connection"], "\"metered, overridden by setting\"") << json;
  EXPECT_EQ(spent["internet_refused"], "\"budget\"") << json;
  EXPECT_EQ(spent["budget_mb"], "2") << json;
  EXPECT_EQ(spent["budget_left_bytes"], std::to_string((2 << 20) - 3)) << json;
  StatusSnapshot s;
  s.cost_json = json;
  s.cost_rows = FormatCostRows(f);
  EXPECT_NE(FormatStatusJson(s).find(",\"cost\":{"), std::string::npos);
  EXPECT_NE(FormatStatusTable(s).find("internet peers   refused: budget\n"), std::string::npos);
}

// The delay control's object: nulls where nothing is measured or limited; the
// row in words; the per-second delays with null for seconds without one.
TEST(StatusReport, UploadDelay) {
  DelayStatus d;
  d.reason = "ZRVD_PORT_MAPPING=0: no ICMP is sent";
  d.target_ms = 10;
  EXPECT_EQ(FormatDelayJson(d),
            "{\"state\":\"off\",\"reason\":\"ZRVD_PORT_MAPPING=0: no ICMP is sent\","
            "\"reflector\":null,\"hop\":null,\"base_ms\":null,\"current_ms\":null,"
            "\"target_ms\":10,\"rate_bytes_per_second\":null}");
  d = DelayStatus();
  d.state = DelayState::kGivingWay;
  d.reflector = 0x0A000102;
  d.hop = 2;
  d.measured = true;
  d.base_ms = 12;
  d.current_ms = 40;
  d.target_ms = 10;
  d.rate = 65536;
  EXPECT_EQ(FormatDelayJson(d),
            "{\"state\":\"giving_way\",\"reason\":null,\"reflector\":\"10.0.1.2\",\"hop\":2,"
            "\"base_ms\":12,\"current_ms\":40,\"target_ms\":10,\"rate_bytes_per_second\":65536}");
  StatusSnapshot s;
  s.upload_delay_json = FormatDelayJson(d);
  s.upload_delay_row = FormatDelayRow(d);
  DelayHistory history;
  history.Add(1000, 5);
  history.Add(1000, 3);
  history.Add(1002, 7);
  s.delay_ms = history.Read(1002);
  ASSERT_EQ(s.delay_ms.size(), 600u);
  const std::string json = FormatStatusJson(s);
  EXPECT_NE(json.find("\"delay_ms\":[null,"), std::string::npos);
  EXPECT_NE(json.find(",5,null,7]}"), std::string::npos) << "the largest of a second";
  EXPECT_NE(json.find(",\"upload_delay\":{\"state\":\"giving_way\""), std::string::npos);
  EXPECT_NE(FormatStatusTable(s).find(
                "upload delay     giving way to other traffic: 28 ms queued over 12 ms (target "
                "10 ms), 64 KiB/s allowed; reflector 10.0.1.2 (hop 2)\n"),
            std::string::npos)
      << FormatStatusTable(s);
  // Ten minutes on, the slot of 1002 is stale: it reads as none, not as 7.
  EXPECT_EQ(history.Read(1002 + DelayHistory::kSeconds).back(), -1);
}

}  // namespace
