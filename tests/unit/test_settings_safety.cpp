// The settings file under hostile or broken conditions: links, planted
// files, read-only targets, and addresses that would not read back.
#include "Settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class SettingsSafety : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/voxlet-safety-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        Settings::readSettingsFrom((dir + "/none").c_str()); // defaults
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string file(const std::string& name) { return dir + "/" + name; }
    void put(const std::string& name, const std::string& text) {
        std::ofstream(file(name), std::ios::binary) << text;
    }
    std::string get(const std::string& name) {
        std::ostringstream s;
        s << std::ifstream(file(name), std::ios::binary).rdbuf();
        return s.str();
    }
    bool write(const std::string& name) { return Settings::writeSettingsTo(file(name).c_str()); }
    long entries() { return std::distance(fs::directory_iterator(dir), fs::directory_iterator()); }
    std::string dir;
};

TEST_F(SettingsSafety, LinkedFileStaysALinkAndItsTargetIsWrittenWithItsMode) {
    ASSERT_EQ(0, mkdir(file("real").c_str(), 0700));
    put("real/settings.dat", "controlPort:1\n");
    ASSERT_EQ(0, chmod(file("real/settings.dat").c_str(), 0600));
    ASSERT_EQ(0, symlink("real/settings.dat", file("settings.dat").c_str()));
    Settings::setControlPort(4242);
    ASSERT_TRUE(write("settings.dat"));
    EXPECT_TRUE(fs::is_symlink(file("settings.dat")));
    EXPECT_NE(get("real/settings.dat").find("controlPort:4242\n"), std::string::npos);
    struct stat st;
    ASSERT_EQ(0, stat(file("real/settings.dat").c_str(), &st));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsSafety, PlantedLinksAreNotFollowedAndLeftoversAreRemoved) {
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

TEST_F(SettingsSafety, FailedWritesAreReportedAndChangeNothing) {
    put("settings.dat", "controlPort:1\n");
    ASSERT_EQ(0, chmod(file("settings.dat").c_str(), 0444));
    ASSERT_EQ(0, mkdir(file("dirfile").c_str(), 0700));
    Settings::setControlPort(2);
    for (const char* target : {"settings.dat", "dirfile", "missing-dir/settings.dat"})
        EXPECT_FALSE(write(target)) << target;
    EXPECT_EQ(get("settings.dat"), "controlPort:1\n");
    EXPECT_EQ(entries(), 2); // no temporary file left behind
}

TEST_F(SettingsSafety, AddressesThatWouldNotReadBackAreRefused) {
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
        if (c.used) {
            EXPECT_EQ(Settings::trimAddress(c.text), c.used);
        }
    }
    Settings::setWifiServerAddr("10.0.0.2");
    EXPECT_FALSE(Settings::setWifiServerAddr("10.0.0.3\nwifiServerAddr:10.6.6.6"));
    ASSERT_TRUE(write("settings.dat"));
    Settings::readSettingsFrom(file("settings.dat").c_str());
    EXPECT_STREQ(Settings::getWifiServerAddr(), "10.0.0.2");
}

} // namespace
