#include "Kit.h"
#include "Settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every value of the store in one line, so a case shows all it changed.
std::string dump() {
    int x, y, w, h;
    Settings::getWindowPos(&x, &y, &w, &h);
    std::ostringstream s;
    s << Settings::getTransportType() << " [" << Settings::getWifiServerAddr() << "] "
      << Settings::isPlayLocally() << " " << Settings::getControlPort() << " "
      << Settings::getMediaPort() << " " << Settings::isAutoConnect() << " " << x << "," << y << ","
      << w << "," << h;
    return s.str();
}

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    void write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string contents() {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir = testing::TempDir() + "voxlet-settings-" + std::to_string(getpid());
    std::string path = dir + "/settings.dat";
};

struct FileCase {
    std::string name, text, expected;
    friend void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }
};

class SettingsRead : public SettingsFile, public ::testing::WithParamInterface<FileCase> {};

TEST_P(SettingsRead, GivesDefaultsThenWhatTheFileSupplies) {
    Settings::setControlPort(1); // forgotten: every read starts from the defaults
    Settings::setWifiServerAddr("old");
    write(GetParam().text);
    std::set<int> fds = kit::openFds();
    Settings::readSettingsFrom(path.c_str());
    EXPECT_EQ(dump(), GetParam().expected) << GetParam().text;
    EXPECT_EQ(kit::openFds(), fds) << "the file is closed again";
}

const std::string kDefaults = "1 [] 0 8125 49152 0 200,200,500,300";

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsRead,
    ::testing::Values(
        FileCase{"Empty", "", kDefaults},
        FileCase{"Example",
                 "transportType:3\nwifiServerAddr:10.0.0.2\nplayLocally:1\ncontrolPort:8125\n"
                 "mediaPort:49152\nautoConnect:0\nwindow:200,200,500,300\n",
                 "3 [10.0.0.2] 1 8125 49152 0 200,200,500,300"},
        // Text around a key still counts; controlPort is tested before
        // mediaPort; the later line wins.
        FileCase{"KeysByContainment",
                 " my controlPort key:9000\nmediaPort-controlPort:1234\nmediaPort:1\nmediaPort:2\n"
                 "no colon here\nunknown:5\n",
                 "1 [] 0 1234 2 0 200,200,500,300"},
        FileCase{"VerbatimAfterFirstColon", "wifiServerAddr:fe80::1\n",
                 "1 [fe80::1] 0 8125 49152 0 200,200,500,300"},
        FileCase{"CarriageReturnsStayInTheAddressOnly",
                 "wifiServerAddr:phone.local\r\ncontrolPort:9001\r\nplayLocally:1\r\n",
                 "1 [phone.local\r] 1 9001 49152 0 200,200,500,300"},
        FileCase{"LastLineWithoutLineFeed", "mediaPort:5000", "1 [] 0 8125 5000 0 200,200,500,300"},
        FileCase{"FlagsTrueWhenTheValueHoldsAOne", "playLocally:true\nautoConnect:10\n",
                 "1 [] 0 8125 49152 1 200,200,500,300"},
        FileCase{"NumbersLikeAtoi", "controlPort:abc\nmediaPort:  -42xyz\ntransportType:+7\n",
                 "7 [] 0 0 -42 0 200,200,500,300"},
        FileCase{"NumbersSaturate",
                 "controlPort:99999999999999999999\nmediaPort:-99999999999999999999\n",
                 "1 [] 0 2147483647 -2147483648 0 200,200,500,300"},
        FileCase{"WindowTwoNumbers", "window:10,20\n", "1 [] 0 8125 49152 0 10,20,500,300"},
        FileCase{"WindowStopsAtTheFirstBreak", "window:10 ,20,30,40\n",
                 "1 [] 0 8125 49152 0 10,200,500,300"},
        FileCase{"WindowOnlyCommasSeparate", "window:10;20\n",
                 "1 [] 0 8125 49152 0 10,200,500,300"},
        FileCase{"WindowAtMostFour", "window:10, 20,30,40,50\n", "1 [] 0 8125 49152 0 10,20,30,40"},
        FileCase{"WindowLaterLinePartly", "window:1,2,3,4\nwindow:5,x\n",
                 "1 [] 0 8125 49152 0 5,2,3,4"},
        FileCase{"OverlongAddressTruncated",
                 "wifiServerAddr:" + std::string(10000, 'a') + "\ncontrolPort:77\n",
                 "1 [" + std::string(255, 'a') + "] 0 77 49152 0 200,200,500,300"},
        FileCase{"Garbage",
                 std::string("\x00\xff\xfe:::\n\x01\x02controlPort\x00:12\n", 24) +
                     std::string(100000, 'z') + "\nmediaPort:4444\n",
                 "1 [] 0 8125 4444 0 200,200,500,300"}),
    [](const auto& info) { return info.param.name; });

TEST_F(SettingsFile, MissingFileGivesDefaults) {
    Settings::setPlayLocally(true);
    Settings::readSettingsFrom(path.c_str());
    EXPECT_EQ(dump(), kDefaults);
}

TEST_F(SettingsFile, AddressKeepsWhole255ByteAndUtf8Characters) {
    Settings::setWifiServerAddr(std::string(255, 'b').c_str());
    EXPECT_EQ(std::string(Settings::getWifiServerAddr()), std::string(255, 'b'));
    Settings::setWifiServerAddr((std::string(254, 'c') + "\xC3\xA9").c_str());
    EXPECT_EQ(std::string(Settings::getWifiServerAddr()), std::string(254, 'c'));
}

TEST_F(SettingsFile, WriteGivesTheSevenLinesAndExtremesRoundTrip) {
    Settings::readSettingsFrom(path.c_str());
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
    const std::string written = dump();
    ASSERT_TRUE(Settings::writeSettingsTo(path.c_str()));
    Settings::readSettingsFrom(path.c_str());
    EXPECT_EQ(dump(), written);
}

TEST_F(SettingsFile, DefaultFileIsInTheWorkingDirectory) {
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    Settings::setWifiServerAddr("1.2.3.4");
    Settings::writeSettings();
    Settings::setWifiServerAddr("");
    Settings::readSettings();
    std::filesystem::current_path(previous);
    EXPECT_STREQ(Settings::getWifiServerAddr(), "1.2.3.4");
    EXPECT_NE(contents().find("wifiServerAddr:1.2.3.4\n"), std::string::npos);
}

} // namespace
