#include <windows.h>

#include "ScratchFolder.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
    std::random_device random;
    fs::path dir = fs::temp_directory_path() / ("vorn-config-" + std::to_string(random()));
    fs::create_directories(dir);
    path = dir.string();
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
