#include <windows.h>

#include "TempWorkingDirectory.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// "2024/05/01 12:34:56.789," before every message.
const size_t kStampLength = 24;

}  // namespace

TempWorkingDirectory::TempWorkingDirectory() {
    previous = fs::current_path().string();
    std::random_device random;
    fs::path dir =
        fs::temp_directory_path() / ("vorn-dde-" + std::to_string(random()) + std::to_string(GetTickCount()));
    fs::create_directories(dir);
    path = dir.string();
    fs::current_path(dir);
}

TempWorkingDirectory::~TempWorkingDirectory() {
    std::error_code ignored;
    fs::current_path(previous, ignored);
    fs::remove_all(path, ignored);
}

std::vector<std::string> TempWorkingDirectory::LogMessages() const {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char day[16];
    snprintf(day, sizeof(day), "%04d%02d%02d", now.wYear, now.wMonth, now.wDay);
    std::ifstream file(fs::path(path) / "log" / day / "vornlog.log", std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    std::string text = content.str();
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        end = end == std::string::npos ? text.size() : end + 2;
        std::string entry = text.substr(start, end - start);
        messages.push_back(entry.size() > kStampLength ? entry.substr(kStampLength) : entry);
        start = end;
    }
    return messages;
}
