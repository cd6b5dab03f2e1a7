#include "TempWorkingDirectory.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// "2024/05/01 12:34:56.789," before every message.
const size_t kStampLength = 24;

}  // namespace

TempWorkingDirectory::TempWorkingDirectory() : folder("vorn-cwd-"), previous(fs::current_path().string()) {
    fs::current_path(folder.Path());
}

TempWorkingDirectory::~TempWorkingDirectory() {
    std::error_code ignored;
    fs::current_path(previous, ignored);
}

// Day folders are named YYYYMMDD, so their names sort by date.
std::vector<std::string> TempWorkingDirectory::LogFiles() const {
    std::vector<std::string> files;
    std::error_code error;
    for (const fs::directory_entry& day : fs::directory_iterator(fs::path(Path()) / "log", error)) {
        fs::path file = day.path() / "vornlog.log";
        if (fs::is_regular_file(file, error)) files.push_back(file.string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string TempWorkingDirectory::LogPath() const {
    std::vector<std::string> files = LogFiles();
    return files.empty() ? "" : files.back();
}

std::vector<std::string> TempWorkingDirectory::LogMessages() const {
    std::vector<std::string> messages;
    for (const std::string& file : LogFiles()) {
        std::string text = ScratchFolder::ReadFile(file);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find("\r\n", start);
            end = end == std::string::npos ? text.size() : end + 2;
            std::string entry = text.substr(start, end - start);
            messages.push_back(entry.size() > kStampLength ? entry.substr(kStampLength) : entry);
            start = end;
        }
    }
    return messages;
}
