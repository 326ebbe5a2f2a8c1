// A fresh temporary working directory for one test, so "settings.dat" is the
// test's own; the previous directory comes back afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <unistd.h>

class WorkDir {
  public:
    WorkDir() : mPrevious(std::filesystem::current_path()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "voxlet-gui-XXXXXX");
        char* made = mkdtemp(pattern.data());
        mPath = made ? made : ".";
        std::filesystem::current_path(mPath);
    }
    ~WorkDir() {
        std::filesystem::current_path(mPrevious);
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    bool hasSettings() const { return std::filesystem::exists(mPath / "settings.dat"); }
    std::string settings() const {
        std::ifstream in(mPath / "settings.dat", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    std::filesystem::path mPrevious;
    std::filesystem::path mPath;
};
