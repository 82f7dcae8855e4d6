#include "uploadpolicy/upload_policy.h"

#include <gtest/gtest.h>

namespace {

StoredValue Dword(uint32_t value) { return {StoredValue::Kind::kRight, value}; }
const StoredValue kAbsent = {};
const StoredValue kOther = {StoredValue::Kind::kOther, 0};

// Each value alone: accepted ones set the setting, absent ones give the
// default, refused ones leave the setting as it was.
TEST(UploadPolicy, ValueTable) {
  struct Row {
    const char* name;
    StoredValue stored;
    bool accepted;
    UploadSettings after;
  };
  UploadSettings before;
  before.limit_kbps = 100;
  before.in_game_kbps = 50;
  before.paused = true;
  before.max_connections_per_peer = 3;
  before.monthly_limit_mb = 9;
  before.lan_uncapped = false;
  before.delay_control = false;
  before.delay_target_ms = 40;
  const auto with = [&](auto change) {
    UploadSettings settings = before;
    change(settings);
    return settings;
  };
  const std::vector<Row> rows = {
      {"UploadLimitKBps", Dword(2048), true, with([](UploadSettings& s) { s.limit_kbps = 2048; })},
      {"UploadLimitKBps", Dword(0), true, with([](UploadSettings& s) { s.limit_kbps = 0; })},
      {"UploadLimitKBps", Dword(4), true, with([](UploadSettings& s) { s.limit_kbps = 4; })},
      {"UploadLimitKBps", Dword(3), false, before},
      {"UploadLimitKBps", kOther, false, before},
      {"UploadLimitKBps", kAbsent, true, with([](UploadSettings& s) { s.limit_kbps = 0; })},
      {"UploadLimitKBps", Dword(4194303), true, with([](UploadSettings& s) { s.limit_kbps = 4194303; })},
      {"UploadLimitKBps", Dword(4194304), true, with([](UploadSettings& s) { s.limit_kbps = 4194304; })},
      {"UploadLimitKBps", Dword(4194305), true, with([](UploadSettings& s) { s.limit_kbps = 4194305; })},
      {"UploadLimitKBps", Dword(0xFFFFFFFF), true, with([](UploadSettings& s) { s.limit_kbps = 0xFFFFFFFF; })},
      {"UploadLimitInGameKBps", Dword(1), false, before},
      {"UploadLimitInGameKBps", Dword(512), true, with([](UploadSettings& s) { s.in_game_kbps = 512; })},
      {"SharingPaused", Dword(0), true, with([](UploadSettings& s) { s.paused = false; })},
      {"SharingPaused", Dword(1), true, with([](UploadSettings& s) { s.paused = true; })},
      {"SharingPaused", Dword(2), false, before},
      {"SharingPaused", kAbsent, true, with([](UploadSettings& s) { s.paused = false; })},
      {"MaxConnectionsPerPeer", Dword(0), false, before},
      {"MaxConnectionsPerPeer", kAbsent, true,
       with([](UploadSettings& s) { s.max_connections_per_peer = 16; })},
      {"MaxConnectionsPerPeer", Dword(40), true,
       with([](UploadSettings& s) { s.max_connections_per_peer = 40; })},
      {"UploadOnMeteredConnection", Dword(1), true, with([](UploadSettings& s) { s.serve_on_metered = true; })},
      {"UploadOnMeteredConnection", Dword(2), false, before},
      {"UploadOnMeteredConnection", kOther, false, before},
      {"UploadMonthlyLimitMB", Dword(20480), true, with([](UploadSettings& s) { s.monthly_limit_mb = 20480; })},
      {"UploadMonthlyLimitMB", kAbsent, true, with([](UploadSettings& s) { s.monthly_limit_mb = 0; })},
      {"UploadMonthlyLimitMB", kOther, false, before},
      {"LanPeersUncapped", Dword(0), true, with([](UploadSettings& s) { s.lan_uncapped = false; })},
      {"LanPeersUncapped", Dword(7), false, before},
      {"UploadDelayControl", Dword(0), true, with([](UploadSettings& s) { s.delay_control = false; })},
      {"UploadDelayControl", Dword(2), false, before},
      {"UploadDelayTargetMs", Dword(3), true, with([](UploadSettings& s) { s.delay_target_ms = 3; })},
      {"UploadDelayTargetMs", Dword(200), true, with([](UploadSettings& s) { s.delay_target_ms = 200; })},
      {"UploadDelayTargetMs", Dword(2), false, before},
      {"UploadDelayTargetMs", Dword(201), false, before},
      {"UploadDelayTargetMs", kAbsent, true, with([](UploadSettings& s) { s.delay_target_ms = 10; })},
  };
  for (const Row& row : rows) {
    UploadSettings settings = before;
    std::string refusal;
    EXPECT_EQ(ApplyUploadSetting(row.name, row.stored, &settings, &refusal), row.accepted)
        << row.name << " " << row.stored.value;
    EXPECT_EQ(refusal.empty(), row.accepted) << row.name;
    EXPECT_EQ(settings.limit_kbps, row.after.limit_kbps) << row.name;
    EXPECT_EQ(settings.in_game_kbps, row.after.in_game_kbps) << row.name;
    EXPECT_EQ(settings.paused, row.after.paused) << row.name;
    EXPECT_EQ(settings.max_connections_per_peer, row.after.max_connections_per_peer) << row.name;
    EXPECT_EQ(settings.serve_on_metered, row.after.serve_on_metered) << row.name;
    EXPECT_EQ(settings.monthly_limit_mb, row.after.monthly_limit_mb) << row.name;
    EXPECT_EQ(settings.lan_uncapped, row.after.lan_uncapped) << row.name;
    EXPECT_EQ(settings.delay_control, row.after.delay_control) << row.name;
    EXPECT_EQ(settings.delay_target_ms, row.after.delay_target_ms) << row.name;
  }
  // An absent LanPeersUncapped is on; a budget past the largest cap is none.
  UploadSettings settings = before;
  std::string refusal;
  EXPECT_TRUE(ApplyUploadSetting("LanPeersUncapped", kAbsent, &settings, &refusal));
  EXPECT_TRUE(settings.lan_uncapped);
  EXPECT_TRUE(ApplyUploadSetting("UploadDelayControl", kAbsent, &settings, &refusal));
  EXPECT_TRUE(settings.delay_control);
  settings.monthly_limit_mb = 0xFFFFFFFF;
  EXPECT_EQ(BudgetBytes(settings), 0u);
}

// The cap in force: a pause wins; the in-game cap while the game runs, else
// the normal one.
TEST(UploadPolicy, CapInForce) {
  UploadSettings settings;
  settings.limit_kbps = 2048;
  EXPECT_EQ(DescribeCap(CapInForce(settings, false)), "normal, 2048 KiB/s");
  EXPECT_EQ(DescribeCap(CapInForce(settings, true)), "in game, 2048 KiB/s");
  settings.in_game_kbps = 256;
  EXPECT_EQ(DescribeCap(CapInForce(settings, true)), "in game, 256 KiB/s");
  settings.limit_kbps = 0;
  EXPECT_EQ(DescribeCap(CapInForce(settings, false)), "normal, no cap");
  settings.paused = true;
  EXPECT_EQ(DescribeCap(CapInForce(settings, true)), "paused");
}

// Every stored cap is a real one or none: the largest that 32 bits of bytes per
// second hold, and above it no cap, in game as out of it.
TEST(UploadPolicy, LargeCapsAreRealOrNone) {
  const struct {
    uint32_t kbps;
    const char* described;
    uint32_t bytes_per_second;
  } rows[] = {
      {4, "4 KiB/s", 4096},
      {4194303, "4194303 KiB/s", 4294966272u},
      {4194304, "no cap", 0},
      {4194305, "no cap", 0},
      {0xFFFFFFFF, "no cap", 0},
  };
  for (const auto& row : rows) {
    UploadSettings settings;
    settings.limit_kbps = 2048;
    settings.in_game_kbps = row.kbps;
    const UploadCap cap = CapInForce(settings, true);
    EXPECT_EQ(DescribeCap(cap), std::string("in game, ") + row.described) << row.kbps;
    EXPECT_EQ(CapBytesPerSecond(cap), row.bytes_per_second) << row.kbps;
  }
}

// zrvdctl takes what the engine would keep as a real cap, and nothing else.
TEST(UploadPolicy, CapText) {
  const struct {
    const char* text;
    bool accepted;
    uint32_t kbps;
  } rows[] = {
      {"0", true, 0},          {"4", true, 4},         {"4194303", true, 4194303},
      {"3", false, 0},         {"4194304", false, 0},  {"4294967295", false, 0},
      {"4294967296", false, 0}, {"99999999999999999999", false, 0},
      {"", false, 0},          {"-1", false, 0},       {"12k", false, 0},
  };
  for (const auto& row : rows) {
    uint32_t kbps = 77;
    std::string error;
    EXPECT_EQ(ParseCapText(row.text, &kbps, &error), row.accepted) << row.text;
    EXPECT_EQ(error.empty(), row.accepted) << row.text;
    EXPECT_EQ(kbps, row.accepted ? row.kbps : 77u) << row.text;
  }
}

// zrvdctl budget: its own bounds, 0 to the largest budget, a small one included.
TEST(UploadPolicy, BudgetText) {
  const struct {
    const char* text;
    bool accepted;
    uint32_t mb;
  } rows[] = {
      {"0", true, 0},        {"1", true, 1},          {"3", true, 3},
      {"4194303", true, 4194303}, {"4194304", false, 0}, {"99999999999999999999", false, 0},
      {"", false, 0},        {"2G", false, 0},
  };
  for (const auto& row : rows) {
    uint32_t mb = 77;
    std::string error;
    EXPECT_EQ(ParseBudgetText(row.text, &mb, &error), row.accepted) << row.text;
    EXPECT_EQ(error.find(" MiB") != std::string::npos, !row.accepted) << row.text << error;
    EXPECT_EQ(mb, row.accepted ? row.mb : 77u) << row.text;
  }
}

}  // namespace
