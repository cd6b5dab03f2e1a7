#include "ScratchFolder.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "UniqueName.h"

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder(const std::string& stem) {
    fs::path parent = fs::temp_directory_path();
    fs::path folder;
    // Another run may have taken the name: false means it exists already.
    do {
        folder = parent / UniqueName(stem);
    } while (!fs::create_directory(folder));
    path = folder.string();
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string ScratchFolder::PathOf(const std::string& name) const {
    return (fs::path(path) / name).string();
}

std::string ScratchFolder::ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

void ScratchFolder::WriteFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
}
