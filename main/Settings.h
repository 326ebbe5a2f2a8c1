// The user's connection settings: one process-wide store with static members,
// and its file, "settings.dat" in the working directory unless a front end
// names another path.
//
// Threads: the UI thread (or voxlet-cli's main thread) reads the file and sets
// every value before a session starts; the start thread reads the connection
// values and may set mediaPort; the ticking thread reads playLocally on every
// tick while the UI may change it, so that one is a relaxed atomic.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

class Settings {
  public:
    static constexpr int kAddressSize = 256; // at most 255 characters
    static constexpr const char* kFileName = "settings.dat";

    static int getTransportType();
    static void setTransportType(int type);
    static char* getWifiServerAddr();
    // Copies at most 255 bytes; a longer text is truncated (never at the
    // middle of a UTF-8 sequence). A text with a line feed is refused (false,
    // the store unchanged): it could not be saved and read back.
    static bool setWifiServerAddr(const char* addr);
    // Whether a typed address can be used and saved: something is left once
    // white space around it is dropped, and no control character is inside.
    static bool isUsableAddress(const char* text);
    // The address without the spaces, tabs and line ends around it (a file
    // saved with CRLF line ends leaves a CR behind).
    static std::string_view trimAddress(const char* text);
    static bool isPlayLocally();
    static void setPlayLocally(bool on);
    static int getControlPort();
    static void setControlPort(int port);
    static int getMediaPort();
    static void setMediaPort(int port);
    static bool isAutoConnect();
    static void setAutoConnect(bool on);
    static void getWindowPos(int* x, int* y, int* width, int* height);
    static void setWindowPos(int x, int y, int width, int height);

    // The file readSettings and writeSettings use. Set by the front end before
    // either runs (the UI or voxlet-cli's main thread only).
    static void setFilePath(const std::string& path);
    static const std::string& filePath();

    // Resets every value to its default, then applies what "settings.dat" supplies.
    static void readSettings();
    // Replaces "settings.dat" with the store's values (atomically: a
    // temporary file in the same directory renamed over it). False when
    // nothing could be saved: the caller tells the user.
    static bool writeSettings();

    // The same, on another path (tests, tools).
    static void readSettingsFrom(const char* path);
    static bool writeSettingsTo(const char* path);

  private:
    static std::string settingsPath;
    static int transportType;
    static char wifiServerAddr[kAddressSize];
    static std::atomic<bool> playLocally;
    static int controlPort;
    static int mediaPort;
    static bool autoConnect;
    static int _x, _y, _width, _height;
};
