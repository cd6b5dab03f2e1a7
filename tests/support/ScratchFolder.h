#pragma once

#include <string>

// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
class ScratchFolder {
public:
    // The folder's name is stem and a random number.
    explicit ScratchFolder(const std::string& stem = "vorn-test-");
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return path; }
    // Path of name inside the folder, with the platform's separator.
    std::string PathOf(const std::string& name) const;

    // The whole file as bytes; empty when it cannot be read.
    static std::string ReadFile(const std::string& path);
    static void WriteFile(const std::string& path, const std::string& content);

private:
    std::string path;
};
