#pragma once

#include <string>

// A fresh empty folder under the system's temporary folder, removed with
// everything in it at the end of the test.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // Path of name inside the folder, with the platform's separator.
    std::string PathOf(const std::string& name) const;

    static std::string ReadFile(const std::string& path);
    static void WriteFile(const std::string& path, const std::string& content);

private:
    std::string path;
};
