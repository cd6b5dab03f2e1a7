#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A program started with pipes on its stdin, stdout and stderr, whose output
// is collected line by line as it comes.
class ChildProcess {
public:
    enum Stream { kOut, kErr };

    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    // Ends the program if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return process != nullptr; }
    void WriteLine(const std::string& line);
    // Waits for the next line that starts with `prefix`, passing over others;
    // false when none came in time.
    bool WaitLine(Stream stream, const std::string& prefix, DWORD timeoutMs, std::string* lineOut = nullptr);
    // Every line so far, whether WaitLine passed it or not.
    std::vector<std::string> Lines(Stream stream);
    // The exit code, or -1 when the program did not end in time.
    int Wait(DWORD timeoutMs);

private:
    struct Output {
        HANDLE pipe = nullptr;
        std::thread reader;
        std::string partial;
        std::vector<std::string> lines;
        size_t next = 0;
    };

    void Read(Output& output);

    HANDLE process;
    HANDLE input;
    Output outputs[2];
    std::mutex lock;
    std::condition_variable arrived;
};

// Windows' path for a file of the build tree, which Wine shows as drive Z:.
std::string WindowsPath(const std::string& unixPath);
