#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "qelmq/thread_exit.h"

namespace {

struct Config {
  char ip[128];
  char state[2];
  char no_mcdc[2];
  qel_runtime::DeliveryConfig delivery;
};

Config read(const std::string& text, bool create = true) {
  std::string path = testing::TempDir() + "qel_config_test.cfg";
  std::remove(path.c_str());
  if (create) {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  Config c;
  std::memset(c.ip, 0, sizeof(c.ip));
  std::memset(c.state, 0, sizeof(c.state));
  std::memset(c.no_mcdc, 0, sizeof(c.no_mcdc));
  qel_runtime::read_config(path.c_str(), c.ip, c.state, c.no_mcdc, &c.delivery);
  return c;
}

TEST(Config, MissingFileKeepsDefaults) {
  Config c = read("", false);
  EXPECT_STREQ(c.ip, "");
  EXPECT_STREQ(c.state, "");
  EXPECT_STREQ(c.no_mcdc, "");
}

TEST(Config, ConnectModeWithAddress) {
  Config c = read("config_ip=192.168.10.20\r\nconfig_state=1\nno_mcdc=1\n");
  EXPECT_STREQ(c.ip, "192.168.10.20");
  EXPECT_STREQ(c.state, "1");
  EXPECT_STREQ(c.no_mcdc, "1");
}

TEST(Config, SixteenCharacterAddressForcesBindModeAndStopsReading) {
  Config c = read("config_state=1\nconfig_ip=1234567890123456\nno_mcdc=1\n");
  EXPECT_STREQ(c.state, "0");
  EXPECT_STREQ(c.ip, "");
  EXPECT_STREQ(c.no_mcdc, "") << "lines after the long address are not read";
}

TEST(Config, FifteenCharactersAreAccepted) {
  Config c = read("config_ip=123.123.123.123\n");
  EXPECT_STREQ(c.ip, "123.123.123.123");
}

TEST(Config, BlanksAroundTheSignAreNotPartOfTheValue) {
  Config c = read("config_ip = 10.0.0.1 \n");
  EXPECT_STREQ(c.ip, "10.0.0.1");
}

TEST(Config, LinesWithoutValueAreIgnored) {
  Config c = read("config_ip 10.0.0.1\nconfig_state=\nno_mcdc=3\n");
  EXPECT_STREQ(c.ip, "");
  EXPECT_STREQ(c.state, "");
  EXPECT_STREQ(c.no_mcdc, "3");
}

TEST(Config, AnAddressLineEndingAtTheSignKeepsTheEarlierAddress) {
  Config c = read("config_ip=1.1.1.1\nconfig_ip=\r\nconfig_ip=");
  EXPECT_STREQ(c.ip, "1.1.1.1");
}

TEST(Config, TabsStayInTheValueAndLaterLinesReplaceEarlierOnes) {
  Config c = read("config_ip=1.1.1.1\nconfig_ip=\t2.2.2.2\n");
  EXPECT_STREQ(c.ip, "\t2.2.2.2");
}

TEST(Config, AddressKeyWinsOverOtherKeysOnTheSameLine) {
  Config c = read("config_state config_ip=5.5.5.5\n");
  EXPECT_STREQ(c.ip, "5.5.5.5");
  EXPECT_STREQ(c.state, "");
}

TEST(Config, SignBeforeTheKeyLengthIsNotTheSeparator) {
  // The "=" is looked for from the position equal to the key's length.
  Config c = read("a=no_mcdc\nno_mcdc=7\n");
  EXPECT_STREQ(c.no_mcdc, "7");
}

TEST(Config, OneCharacterBuffersKeepTheFirstCharacter) {
  Config c = read("config_state=12\nno_mcdc=34\n");
  EXPECT_STREQ(c.state, "1");
  EXPECT_STREQ(c.no_mcdc, "3");
}

// The delivery keys: matched at the start of a line, before the original
// keys are looked for anywhere in it.
TEST(Config, DeliveryKeysAreReadAndLeaveTheOriginalKeysAlone) {
  Config c = read(
      "config_ip=127.0.0.1\n"
      "  spool_dir = /tmp/run config_ip dir/spool \r\n"
      "collector_wait_ms= 1 500\n"
      "config_state=1\n");
  EXPECT_STREQ(c.ip, "127.0.0.1") << "a spool path naming config_ip is not an address line";
  EXPECT_STREQ(c.state, "1");
  EXPECT_EQ(c.delivery.spool_dir, "/tmp/run config_ip dir/spool ")
      << "blanks inside and at the end of a path are the path's";
  EXPECT_EQ(c.delivery.collector_wait_ms, 1500);
}

TEST(Config, UnusableDeliveryValuesAreIgnored) {
  for (const char* line :
       {"collector_wait_ms=-1", "collector_wait_ms=60001", "collector_wait_ms=5s",
        "collector_wait_ms=", "spool_dir=", "spool_dir   \t=  \r"}) {
    Config c = read(std::string("collector_wait_ms=70\nspool_dir=/kept\n") + line + "\n");
    EXPECT_EQ(c.delivery.collector_wait_ms, 70) << line;
    EXPECT_EQ(c.delivery.spool_dir, "/kept") << line;
  }
  Config none = read("config_ip=10.0.0.1\n");
  EXPECT_EQ(none.delivery.collector_wait_ms, -1);
  EXPECT_EQ(none.delivery.spool_dir, "");
  Config edge = read("collector_wait_ms=60000\ncollector_wait_ms_extra=5\n");
  EXPECT_EQ(edge.delivery.collector_wait_ms, 60000) << "a longer key name is not the key";
}

}  // namespace
