#pragma once
// A private folder under the system's temporary folder, removed with the object.

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

class TempFolder
{
public:
    TempFolder()
    {
        static std::atomic<int> counter { 0 };
        m_Path = std::filesystem::temp_directory_path() / ("xev-service-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(m_Path);
    }
    ~TempFolder() { std::filesystem::remove_all(m_Path); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string Path(const std::string& name = {}) const { return name.empty() ? m_Path.string() : (m_Path / name).string(); }
    std::string Write(const std::string& name, const std::string& text) const
    {
        std::ofstream(Path(name), std::ios::binary) << text;
        return Path(name);
    }

private:
    std::filesystem::path m_Path;
};
