#include "ExchangeSimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "Waiting.h"

namespace {

const int kStartMs = 10000;

// Starts the simulator with args, its stdout on stdoutFd and its stderr
// appended to stderrPath.
pid_t Spawn(const std::vector<std::string>& args, int stdoutFd, const std::string& stderrPath) {
    std::vector<std::string> argStrings = {EXCHANGE_SIM_PATH};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStrings)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // A test that dies without its destructors (a sanitizer's report ends
    // it at once) must not leave the simulator running for good.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(stdoutFd, 1);
    const int log = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log >= 0) dup2(log, 2);
    execv(argv[0], argv.data());
    _exit(127);
}

// The port lines come first on stdout: "rest-port N" and "stream-port N".
void ReadPorts(int fd, int* restOut, int* streamOut) {
    std::string text;
    long long end = NowMs() + kStartMs;
    while ((*restOut == 0 || *streamOut == 0) && NowMs() < end) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, (int)(end - NowMs())) <= 0) break;
        char chunk[256];
        ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got <= 0) break;
        text.append(chunk, got);
        sscanf(text.c_str(), "rest-port %d\nstream-port %d", restOut, streamOut);
    }
}

}  // namespace

ExchangeSimProcess::ExchangeSimProcess(const std::vector<std::string>& extra) : folder("vorn-sim-") {
    Control("");
    std::vector<std::string> args = {"--make-certs",  CertsFolder(), "--rest-port", "0",
                                     "--stream-port", "0",           "--control",   folder.PathOf("control")};
    args.insert(args.end(), extra.begin(), extra.end());
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    pid = Spawn(args, ends[1], folder.PathOf("sim.log"));
    close(ends[1]);
    ReadPorts(ends[0], &restPort, &streamPort);
    close(ends[0]);
}

ExchangeSimProcess::~ExchangeSimProcess() {
    if (Stop(SIGTERM, 5000) < 0) Stop(SIGKILL, 5000);
    // The simulator is built with the suites' sanitizers, and its reports
    // go to its log, where nobody would read them.
    std::string log = Log();
    if (log.find("Sanitizer") != std::string::npos || log.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << "exchange-sim reported a fault:\n" << log;
}

// Written whole under another name and renamed, so the simulator never
// reads half a file.
void ExchangeSimProcess::Control(const std::string& lines) {
    std::string path = folder.PathOf("control");
    ScratchFolder::WriteFile(path + ".new", lines);
    std::rename((path + ".new").c_str(), path.c_str());
}

std::string ExchangeSimProcess::Log() const {
    return ScratchFolder::ReadFile(folder.PathOf("sim.log"));
}

bool ExchangeSimProcess::WaitForLog(const std::string& text, int ms) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, ms);
}

int ExchangeSimProcess::Stop(int sig, int ms) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    int status = 0;
    if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, ms)) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int ExchangeSimProcess::RunOnce(const std::vector<std::string>& args, std::string& outputOut) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -1;
    const pid_t pid = Spawn(args, ends[1], "/dev/null");
    close(ends[1]);
    outputOut.clear();
    char buffer[4096];
    ssize_t got;
    while ((got = read(ends[0], buffer, sizeof buffer)) > 0)
        outputOut.append(buffer, got);
    close(ends[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
