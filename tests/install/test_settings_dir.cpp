// The window with a settings directory of its own (as the menu entry starts
// it): Connect creates the directory and writes there, and the next launch
// reads it back; the working directory is left alone.
#include "Settings.h"
#include "VoxletApp.h"
#include "WorkDir.h"

#include <gtest/gtest.h>

#include <QApplication>

TEST(SettingsDirectory, ConnectCreatesItAndTheNextLaunchReadsIt) {
    WorkDir cwd;
    const std::filesystem::path file = std::filesystem::current_path() / "xdg/voxlet/settings.dat";
    Settings::setFilePath(file.string());
    {
        VoxletApp app;
        app.launch();
        app.window().addressField()->setText("127.0.0.1");
        app.window().controlPortField()->setText("1"); // refused at once on loopback
        app.window().connectButton()->click();
    }
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
    EXPECT_FALSE(cwd.hasSettings());

    VoxletApp again;
    again.launch();
    EXPECT_EQ(again.window().addressField()->text(), "127.0.0.1");
    EXPECT_EQ(again.window().controlPortField()->text(), "1");
    Settings::setFilePath(Settings::kFileName);
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
