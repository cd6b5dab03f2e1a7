#include <windows.h>

#include "ChildProcess.h"

namespace {

std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// A pipe whose end on our side is not inherited by the child.
bool MakePipe(HANDLE* ours, HANDLE* theirs, bool childReads) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    *ours = childReads ? writeEnd : readEnd;
    *theirs = childReads ? readEnd : writeEnd;
    SetHandleInformation(*ours, HANDLE_FLAG_INHERIT, 0);
    return true;
}

}  // namespace

std::string WindowsPath(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : process(nullptr), input(nullptr) {
    HANDLE childInput = nullptr, childOut = nullptr, childErr = nullptr;
    if (!MakePipe(&input, &childInput, true) || !MakePipe(&outputs[kOut].pipe, &childOut, false) ||
        !MakePipe(&outputs[kErr].pipe, &childErr, false))
        return;
    std::string commandLine = QuoteArgument(program);
    for (const std::string& arg : args)
        commandLine += " " + QuoteArgument(arg);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOut;
    startup.hStdError = childErr;
    PROCESS_INFORMATION info = {};
    if (CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &info)) {
        process = info.hProcess;
        CloseHandle(info.hThread);
    }
    CloseHandle(childInput);
    CloseHandle(childOut);
    CloseHandle(childErr);
    for (Output& output : outputs)
        output.reader = std::thread(&ChildProcess::Read, this, std::ref(output));
}

ChildProcess::~ChildProcess() {
    if (input) CloseHandle(input);
    if (process && Wait(5000) < 0) TerminateProcess(process, 99);
    for (Output& output : outputs) {
        if (output.reader.joinable()) output.reader.join();
        if (output.pipe) CloseHandle(output.pipe);
    }
    if (process) CloseHandle(process);
}

void ChildProcess::Read(Output& output) {
    char buffer[4096];
    DWORD got = 0;
    while (output.pipe && ReadFile(output.pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        std::lock_guard<std::mutex> guard(lock);
        output.partial.append(buffer, got);
        size_t end;
        while ((end = output.partial.find('\n')) != std::string::npos) {
            std::string line = output.partial.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            output.lines.push_back(line);
            output.partial.erase(0, end + 1);
        }
        arrived.notify_all();
    }
}

void ChildProcess::WriteLine(const std::string& line) {
    std::string bytes = line + "\n";
    DWORD written = 0;
    WriteFile(input, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
}

bool ChildProcess::WaitLine(Stream stream, const std::string& prefix, DWORD timeoutMs, std::string* lineOut) {
    Output& output = outputs[stream];
    std::unique_lock<std::mutex> hold(lock);
    bool found = arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        for (; output.next < output.lines.size(); ++output.next) {
            if (output.lines[output.next].compare(0, prefix.size(), prefix) == 0) return true;
        }
        return false;
    });
    if (!found) return false;
    if (lineOut) *lineOut = output.lines[output.next];
    ++output.next;
    return true;
}

std::vector<std::string> ChildProcess::Lines(Stream stream) {
    std::lock_guard<std::mutex> guard(lock);
    return outputs[stream].lines;
}

int ChildProcess::Wait(DWORD timeoutMs) {
    if (!process || WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return (int)code;
}
