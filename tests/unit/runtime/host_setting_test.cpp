#include "runtime/host_setting.h"

#include <gtest/gtest.h>

namespace {

// "host" means port 80; "host:port" takes any port from 1 to 65535.
TEST(HostSetting, ReadsHostAndPort) {
  HostSetting setting;
  ASSERT_TRUE(ParseHostSetting("tracker.example", &setting));
  EXPECT_EQ(setting.host, "tracker.example");
  EXPECT_EQ(setting.port, 80);
  ASSERT_TRUE(ParseHostSetting("127.0.0.1:8080", &setting));
  EXPECT_EQ(setting.host, "127.0.0.1");
  EXPECT_EQ(setting.port, 8080);
  ASSERT_TRUE(ParseHostSetting("h:1", &setting));
  EXPECT_EQ(setting.port, 1);
  ASSERT_TRUE(ParseHostSetting("h:65535", &setting));
  EXPECT_EQ(setting.port, 65535);
}

// Values that name no reachable host leave the setting as it was.
TEST(HostSetting, RefusesUnusableValues) {
  for (const char* text : {"", ":80", "h:", "h:0", "h:65536", "h:99999", "h:8o", "h:-1",
                           "h:+80", "h:80:81", "a b", "h/x", "user@h", "h?x", "h#x", "h\\x",
                           "h\t", "h: 80", "[::1]:80", "h:123456"}) {
    HostSetting setting;
    setting.host = "before";
    setting.port = 1234;
    EXPECT_FALSE(ParseHostSetting(text, &setting)) << text;
    EXPECT_EQ(setting.host, "before") << text;
    EXPECT_EQ(setting.port, 1234) << text;
  }
}

// The base URL names the port only when it is not 80.
TEST(HostSetting, BaseUrl) {
  EXPECT_EQ(BaseUrlOf({"tracker.example", 80}), "http://tracker.example/");
  EXPECT_EQ(BaseUrlOf({"127.0.0.1", 8080}), "http://127.0.0.1:8080/");
}

}  // namespace
