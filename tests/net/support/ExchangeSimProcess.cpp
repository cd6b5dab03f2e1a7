#include "ExchangeSimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

const int kStartMs = 10000;

long long NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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

ExchangeSimProcess::ExchangeSimProcess(const std::vector<std::string>& extra) {
    char folder[] = "/tmp/vorn-sim-XXXXXX";
    if (!mkdtemp(folder)) return;
    dir = folder;
    Control("");
    std::vector<std::string> args = {
        EXCHANGE_SIM_PATH, "--make-certs",  dir + "/certs", "--rest-port", "0", "--stream-port", "0",
        "--control",       dir + "/control"};
    args.insert(args.end(), extra.begin(), extra.end());
    int ends[2];
    if (pipe(ends) != 0) return;
    pid = fork();
    if (pid == 0) {
        dup2(ends[1], 1);
        int log = open((dir + "/sim.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) dup2(log, 2);
        close(ends[0]);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ends[1]);
    ReadPorts(ends[0], &restPort, &streamPort);
    close(ends[0]);
    setenv("SSL_CERT_FILE", (dir + "/certs/ca.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", (dir + "/certs").c_str(), 1);
}

ExchangeSimProcess::~ExchangeSimProcess() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        long long end = NowMs() + 5000;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (NowMs() > end) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            usleep(20000);
        }
    }
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
}

// Written whole under another name and renamed, so the simulator never
// reads half a file.
void ExchangeSimProcess::Control(const std::string& lines) {
    std::string path = dir + "/control";
    {
        std::ofstream file(path + ".new", std::ios::trunc);
        file << lines;
    }
    std::rename((path + ".new").c_str(), path.c_str());
}
