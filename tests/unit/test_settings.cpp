// The settings store and its file: what a read makes of any text, what a
// write leaves on disk, and writes under links, planted files and failures.
#include "Kit.h"
#include "Settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

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
    void SetUp() override {
        fs::create_directories(dir);
        Settings::readSettingsFrom((dir + "/none").c_str()); // defaults
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string file(const std::string& name) { return dir + "/" + name; }
    void put(const std::string& name, const std::string& text) {
        std::ofstream(file(name), std::ios::binary) << text;
    }
    std::string get(const std::string& name = "settings.dat") {
        std::ostringstream s;
        s << std::ifstream(file(name), std::ios::binary).rdbuf();
        return s.str();
    }
    bool write(const std::string& name) { return Settings::writeSettingsTo(file(name).c_str()); }
    long entries() { return std::distance(fs::directory_iterator(dir), fs::directory_iterator()); }
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
    put("settings.dat", GetParam().text);
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
        // The address verbatim after the first colon; no line feed at the end.
        FileCase{"Example",
                 "transportType:3\nwifiServerAddr:fe80::1\nplayLocally:1\ncontrolPort:9\n"
                 "autoConnect:1\nwindow:1,2,3,4\nmediaPort:5000",
                 "3 [fe80::1] 1 9 5000 1 1,2,3,4"},
        // Text around a key still counts; controlPort is tested before
        // mediaPort; the later line wins.
        FileCase{"KeysByContainment",
                 " my controlPort key:9000\nmediaPort-controlPort:1234\nmediaPort:1\nmediaPort:2\n"
                 "no colon here\nunknown:5\n",
                 "1 [] 0 1234 2 0 200,200,500,300"},
        FileCase{"CarriageReturnsStayInTheAddressOnly",
                 "wifiServerAddr:phone.local\r\ncontrolPort:9001\r\nplayLocally:1\r\n",
                 "1 [phone.local\r] 1 9001 49152 0 200,200,500,300"},
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

// (The seven lines of a written file are checked by the window's tests.)
TEST_F(SettingsFile, ExtremesRoundTrip) {
    Settings::setTransportType(-5);
    Settings::setWifiServerAddr("my phone: the one with spaces");
    Settings::setPlayLocally(false);
    Settings::setControlPort(-1);
    Settings::setMediaPort(70000);
    Settings::setAutoConnect(true);
    Settings::setWindowPos(-10, 0, 2147483647, -2147483647 - 1);
    const std::string written = dump();
    ASSERT_TRUE(Settings::writeSettingsTo(path.c_str()));
    EXPECT_NE(get().find("autoConnect:1\n"), std::string::npos);
    Settings::readSettingsFrom(path.c_str());
    EXPECT_EQ(dump(), written);
}

TEST_F(SettingsFile, LinkedFileStaysALinkAndItsTargetIsWrittenWithItsMode) {
    ASSERT_EQ(0, mkdir(file("real").c_str(), 0700));
    put("real/settings.dat", "controlPort:1\n");
    ASSERT_EQ(0, chmod(file("real/settings.dat").c_str(), 0600));
    ASSERT_EQ(0, symlink("real/settings.dat", path.c_str()));
    Settings::setControlPort(4242);
    ASSERT_TRUE(write("settings.dat"));
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_NE(get("real/settings.dat").find("controlPort:4242\n"), std::string::npos);
    struct stat st;
    ASSERT_EQ(0, stat(file("real/settings.dat").c_str(), &st));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsFile, PlantedLinksAreNotFollowedAndLeftoversAreRemoved) {
    put("victim", "untouched");
    std::string base = file("settings.dat.tmp.") + std::to_string(getpid()) + ".";
    for (int i = 0; i < 200; ++i) // every name this process would try first
        ASSERT_EQ(0, symlink(file("victim").c_str(), (base + std::to_string(i)).c_str()));
    ASSERT_TRUE(write("settings.dat"));
    EXPECT_EQ(get("victim"), "untouched");

    // Killed writers leave regular files: the next write removes them.
    put("settings.dat.tmp.1.0", "half a file");
    put("settings.dat.tmp.99999.7", "half a file");
    ASSERT_TRUE(write("settings.dat"));
    EXPECT_EQ(entries(), 2 + 200); // victim, settings.dat and the planted links
}

TEST_F(SettingsFile, FailedWritesAreReportedAndChangeNothing) {
    put("settings.dat", "controlPort:1\n");
    ASSERT_EQ(0, chmod(path.c_str(), 0444));
    ASSERT_EQ(0, mkdir(file("dirfile").c_str(), 0700));
    Settings::setControlPort(2);
    for (const char* target : {"settings.dat", "dirfile", "missing-dir/settings.dat"})
        EXPECT_FALSE(write(target)) << target;
    EXPECT_EQ(get(), "controlPort:1\n");
    EXPECT_EQ(entries(), 2); // no temporary file left behind
}

TEST_F(SettingsFile, AddressesThatWouldNotReadBackAreRefused) {
    struct {
        const char* text;
        const char* used; // as the connection sees it; null: refused
    } cases[] = {
        {"10.0.0.2", "10.0.0.2"},
        {" 10.0.0.2\r", "10.0.0.2"},
        {"10.0.0.2\nwifiServerAddr:10.6.6.6", nullptr},
        {"10.0.\t0.2", nullptr},
        {"10.0.0.2\x7f", nullptr},
        {" \r\n", nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Settings::isUsableAddress(c.text), c.used != nullptr) << c.text;
        EXPECT_EQ(c.used ? Settings::trimAddress(c.text) : "", c.used ? c.used : "") << c.text;
    }
    // Cut to whole characters.
    Settings::setWifiServerAddr((std::string(254, 'c') + "\xC3\xA9").c_str());
    EXPECT_EQ(std::string(Settings::getWifiServerAddr()), std::string(254, 'c'));
    Settings::setWifiServerAddr("10.0.0.2");
    EXPECT_FALSE(Settings::setWifiServerAddr("10.0.0.3\nwifiServerAddr:10.6.6.6"));
    ASSERT_TRUE(write("settings.dat"));
    Settings::readSettingsFrom(path.c_str());
    EXPECT_STREQ(Settings::getWifiServerAddr(), "10.0.0.2");
}

} // namespace
