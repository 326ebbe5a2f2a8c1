// A fresh temporary working directory for one test, so "settings.dat" is the
// test's own; the previous directory comes back afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <string>

class WorkDir {
  public:
    WorkDir() { std::filesystem::current_path(mkdtemp(mPath.data())); }
    ~WorkDir() {
        std::filesystem::current_path(mPrevious);
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    bool hasSettings() const { return std::filesystem::exists(mPath + "/settings.dat"); }
    std::string settings() const {
        std::stringstream text;
        text << std::ifstream(mPath + "/settings.dat", std::ios::binary).rdbuf();
        return text.str();
    }

  private:
    const std::filesystem::path mPrevious = std::filesystem::current_path();
    std::string mPath = std::filesystem::temp_directory_path() / "voxlet-gui-XXXXXX";
};
