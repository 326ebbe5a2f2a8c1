#include "Settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/voxlet-settings.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/settings.dat";
    }
    void TearDown() override {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    void write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string contents() {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void read() { Settings::readSettingsFrom(path.c_str()); }

    std::string dir, path;
};

void expectWindow(int x, int y, int w, int h) {
    int a, b, c, d;
    Settings::getWindowPos(&a, &b, &c, &d);
    EXPECT_EQ(a, x);
    EXPECT_EQ(b, y);
    EXPECT_EQ(c, w);
    EXPECT_EQ(d, h);
}

void expectDefaults() {
    EXPECT_EQ(Settings::getTransportType(), 1);
    EXPECT_STREQ(Settings::getWifiServerAddr(), "");
    EXPECT_FALSE(Settings::isPlayLocally());
    EXPECT_EQ(Settings::getControlPort(), 8125);
    EXPECT_EQ(Settings::getMediaPort(), 49152);
    EXPECT_FALSE(Settings::isAutoConnect());
    expectWindow(200, 200, 500, 300);
}

TEST_F(SettingsFile, MissingOrEmptyFileGivesDefaultsOverPreviousValues) {
    Settings::setControlPort(1);
    Settings::setWifiServerAddr("old");
    Settings::setPlayLocally(true);
    read();
    expectDefaults();
    write("");
    Settings::setMediaPort(7);
    read();
    expectDefaults();
}

TEST_F(SettingsFile, ReadsTheDocumentedExample) {
    write("transportType:3\nwifiServerAddr:10.0.0.2\nplayLocally:1\ncontrolPort:8125\n"
          "mediaPort:49152\nautoConnect:0\nwindow:200,200,500,300\n");
    read();
    EXPECT_EQ(Settings::getTransportType(), 3);
    EXPECT_STREQ(Settings::getWifiServerAddr(), "10.0.0.2");
    EXPECT_TRUE(Settings::isPlayLocally());
}

TEST_F(SettingsFile, KeysMatchByContainmentInFixedOrder) {
    // A lone line sets only its value; a key with text around the name still
    // counts; "controlPort" is tested before "mediaPort"; the later line wins.
    write(" my controlPort key:9000\nmediaPort-controlPort:1234\nmediaPort:1\nmediaPort:2\n"
          "no colon here\nunknown:5\n");
    read();
    EXPECT_EQ(Settings::getControlPort(), 1234);
    EXPECT_EQ(Settings::getMediaPort(), 2);
    EXPECT_EQ(Settings::getTransportType(), 1);
    expectWindow(200, 200, 500, 300);
}

TEST_F(SettingsFile, ValuesAreTakenVerbatimAfterTheFirstColon) {
    write("wifiServerAddr:fe80::1\n");
    read();
    EXPECT_STREQ(Settings::getWifiServerAddr(), "fe80::1");

    // Carriage returns stay in the address but do not disturb numbers.
    write("wifiServerAddr:phone.local\r\ncontrolPort:9001\r\nplayLocally:1\r\n");
    read();
    EXPECT_STREQ(Settings::getWifiServerAddr(), "phone.local\r");
    EXPECT_EQ(Settings::getControlPort(), 9001);
    EXPECT_TRUE(Settings::isPlayLocally());

    // A last line without a line feed is still read.
    write("mediaPort:5000");
    read();
    EXPECT_EQ(Settings::getMediaPort(), 5000);
}

TEST_F(SettingsFile, FlagsAreTrueWhenTheValueContainsAOne) {
    write("playLocally:true\nautoConnect:10\n");
    read();
    EXPECT_FALSE(Settings::isPlayLocally());
    EXPECT_TRUE(Settings::isAutoConnect());
    write("playLocally:01\n");
    read();
    EXPECT_TRUE(Settings::isPlayLocally());
}

TEST_F(SettingsFile, NumbersParseLikeAtoiAndSaturate) {
    write("controlPort:abc\nmediaPort:  -42xyz\ntransportType:+7\n");
    read();
    EXPECT_EQ(Settings::getControlPort(), 0);
    EXPECT_EQ(Settings::getMediaPort(), -42);
    EXPECT_EQ(Settings::getTransportType(), 7);
    write("controlPort:99999999999999999999\nmediaPort:-99999999999999999999\n");
    read();
    EXPECT_EQ(Settings::getControlPort(), INT_MAX);
    EXPECT_EQ(Settings::getMediaPort(), INT_MIN);
}

TEST_F(SettingsFile, WindowReadsUpToFourNumbersAndStopsAtTheFirstBreak) {
    write("window:10,20\n");
    read();
    expectWindow(10, 20, 500, 300);
    write("window:10 ,20,30,40\n");
    read();
    expectWindow(10, 200, 500, 300);
    write("window:10, 20,30,40,50\n");
    read();
    expectWindow(10, 20, 30, 40);
    write("window:1,2,3,4\nwindow:5,x\n");
    read();
    expectWindow(5, 2, 3, 4);
}

TEST_F(SettingsFile, OverlongAddressIsTruncatedNotOverrun) {
    std::string longAddress(10000, 'a');
    write("wifiServerAddr:" + longAddress + "\ncontrolPort:77\n");
    read();
    EXPECT_EQ(std::string(Settings::getWifiServerAddr()), std::string(255, 'a'));
    EXPECT_EQ(Settings::getControlPort(), 77);

    // Exactly 255 characters fit whole; a multi-byte character that would be
    // split at the limit is left out entirely.
    Settings::setWifiServerAddr(std::string(255, 'b').c_str());
    EXPECT_EQ(std::string(Settings::getWifiServerAddr()), std::string(255, 'b'));
    std::string utf8 = std::string(254, 'c') + "\xC3\xA9";
    Settings::setWifiServerAddr(utf8.c_str());
    EXPECT_EQ(std::string(Settings::getWifiServerAddr()), std::string(254, 'c'));

    // The pointer handed out shows later changes.
    char* addr = Settings::getWifiServerAddr();
    Settings::setWifiServerAddr("");
    EXPECT_STREQ(addr, "");
}

TEST_F(SettingsFile, GarbageAndBinaryDoNotDisturbTheRest) {
    std::string garbage("\x00\xff\xfe:::\n\x01\x02controlPort\x00:12\n", 24);
    write(garbage + std::string(100000, 'z') + "\nmediaPort:4444\n");
    read();
    EXPECT_EQ(Settings::getMediaPort(), 4444);
    EXPECT_STREQ(Settings::getWifiServerAddr(), "");
}

TEST_F(SettingsFile, WriteProducesTheSevenLinesAndRoundTrips) {
    read();
    Settings::setTransportType(3);
    Settings::setWifiServerAddr("10.0.0.2");
    Settings::setPlayLocally(true);
    ASSERT_TRUE(Settings::writeSettingsTo(path.c_str()));
    EXPECT_EQ(contents(), "transportType:3\nwifiServerAddr:10.0.0.2\nplayLocally:1\n"
                          "controlPort:8125\nmediaPort:49152\nautoConnect:0\n"
                          "window:200,200,500,300\n");

    Settings::setTransportType(-5);
    Settings::setWifiServerAddr("my phone: the one with spaces");
    Settings::setPlayLocally(false);
    Settings::setControlPort(-1);
    Settings::setMediaPort(70000);
    Settings::setAutoConnect(true);
    Settings::setWindowPos(-10, 0, 2147483647, -2147483647 - 1);
    ASSERT_TRUE(Settings::writeSettingsTo(path.c_str()));
    Settings::setWifiServerAddr("changed");
    read();
    EXPECT_EQ(Settings::getTransportType(), -5);
    EXPECT_STREQ(Settings::getWifiServerAddr(), "my phone: the one with spaces");
    EXPECT_FALSE(Settings::isPlayLocally());
    EXPECT_EQ(Settings::getControlPort(), -1);
    EXPECT_EQ(Settings::getMediaPort(), 70000);
    EXPECT_TRUE(Settings::isAutoConnect());
    expectWindow(-10, 0, 2147483647, -2147483647 - 1);
}

TEST_F(SettingsFile, DefaultFileNameIsInTheWorkingDirectory) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    Settings::setWifiServerAddr("1.2.3.4");
    Settings::writeSettings();
    Settings::setWifiServerAddr("");
    Settings::readSettings();
    EXPECT_STREQ(Settings::getWifiServerAddr(), "1.2.3.4");
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_NE(contents().find("wifiServerAddr:1.2.3.4\n"), std::string::npos);
}

} // namespace
