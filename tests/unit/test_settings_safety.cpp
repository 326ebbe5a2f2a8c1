// The settings file under hostile or broken conditions: links, planted
// files, read-only targets, and addresses that would not read back.
#include "Settings.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class SettingsSafety : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/voxlet-safety-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        Settings::readSettingsFrom((dir + "/none").c_str()); // defaults
    }
    void TearDown() override { ASSERT_EQ(0, system(("rm -rf " + dir).c_str())); }
    std::string file(const std::string& name) { return dir + "/" + name; }
    static void put(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string get(const std::string& path) {
        std::ostringstream s;
        s << std::ifstream(path, std::ios::binary).rdbuf();
        return s.str();
    }
    int entries() {
        int n = 0;
        DIR* d = opendir(dir.c_str());
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
        return n;
    }
    std::string dir;
};

TEST_F(SettingsSafety, LinkedFileStaysALinkAndItsTargetIsWritten) {
    ASSERT_EQ(0, mkdir(file("real").c_str(), 0700));
    put(file("real/settings.dat"), "controlPort:1\n");
    ASSERT_EQ(0, symlink("real/settings.dat", file("settings.dat").c_str()));
    Settings::setControlPort(4242);
    ASSERT_TRUE(Settings::writeSettingsTo(file("settings.dat").c_str()));
    struct stat st;
    ASSERT_EQ(0, lstat(file("settings.dat").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(get(file("real/settings.dat")).find("controlPort:4242\n"), std::string::npos);
}

TEST_F(SettingsSafety, PlantedLinksAreNotFollowedAndLeftoversAreRemoved) {
    put(file("victim"), "untouched");
    std::string base = file("settings.dat.tmp.") + std::to_string(getpid()) + ".";
    for (int i = 0; i < 200; ++i) // every name this process would try first
        ASSERT_EQ(0, symlink(file("victim").c_str(), (base + std::to_string(i)).c_str()));
    ASSERT_TRUE(Settings::writeSettingsTo(file("settings.dat").c_str()));
    EXPECT_EQ(get(file("victim")), "untouched");

    // Killed writers leave regular files: the next write removes them.
    for (const char* stale : {"settings.dat.tmp.1.0", "settings.dat.tmp.99999.7"})
        put(file(stale), "half a file");
    ASSERT_TRUE(Settings::writeSettingsTo(file("settings.dat").c_str()));
    EXPECT_EQ(entries(), 2 + 200); // victim, settings.dat and the planted links
}

TEST_F(SettingsSafety, FailedWritesAreReportedAndChangeNothing) {
    put(file("settings.dat"), "controlPort:1\n");
    ASSERT_EQ(0, chmod(file("settings.dat").c_str(), 0444));
    ASSERT_EQ(0, mkdir(file("dirfile").c_str(), 0700));
    Settings::setControlPort(2);
    for (const char* target : {"settings.dat", "dirfile", "missing-dir/settings.dat"})
        EXPECT_FALSE(Settings::writeSettingsTo(file(target).c_str())) << target;
    EXPECT_EQ(get(file("settings.dat")), "controlPort:1\n");
    EXPECT_EQ(entries(), 2); // no temporary file left behind
}

TEST_F(SettingsSafety, WriteKeepsTheModeOfTheOldFile) {
    put(file("settings.dat"), "");
    ASSERT_EQ(0, chmod(file("settings.dat").c_str(), 0600));
    ASSERT_TRUE(Settings::writeSettingsTo(file("settings.dat").c_str()));
    struct stat st;
    ASSERT_EQ(0, stat(file("settings.dat").c_str(), &st));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsSafety, AddressesThatWouldNotReadBackAreRefused) {
    struct {
        const char* text;
        bool usable;
        const char* used; // as the connection sees it
    } cases[] = {
        {"10.0.0.2", true, "10.0.0.2"},
        {" 10.0.0.2\r", true, "10.0.0.2"},
        {"fe80::1%eth0 ", true, "fe80::1%eth0"},
        {"10.0.0.2\nwifiServerAddr:10.6.6.6", false, nullptr},
        {"10.0.\t0.2", false, nullptr},
        {"10.0.0.2\x7f", false, nullptr},
        {" \r\n", false, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Settings::isUsableAddress(c.text), c.usable) << c.text;
        if (c.used) {
            EXPECT_EQ(Settings::trimAddress(c.text), c.used);
        }
    }
    Settings::setWifiServerAddr("10.0.0.2");
    EXPECT_FALSE(Settings::setWifiServerAddr("10.0.0.3\nwifiServerAddr:10.6.6.6"));
    ASSERT_TRUE(Settings::writeSettingsTo(file("settings.dat").c_str()));
    Settings::readSettingsFrom(file("settings.dat").c_str());
    EXPECT_STREQ(Settings::getWifiServerAddr(), "10.0.0.2");
}

TEST_F(SettingsSafety, OverlongLineIsCutAndTheNextLineStillReads) {
    put(file("settings.dat"), "controlPort:7" + std::string(1 << 20, '7') + "\ncontrolPort:99\n");
    Settings::readSettingsFrom(file("settings.dat").c_str());
    EXPECT_EQ(Settings::getControlPort(), 99);
}

} // namespace
