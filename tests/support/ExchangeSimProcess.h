#pragma once

// The local exchange simulator (exchange-sim, a Linux program) as a child
// process on ephemeral ports, for the suites of the native tree. Its folder
// holds the certificates it makes, the control file through which a test
// changes prices and fault modes while it runs, and its stderr (sim.log).
#include <sys/types.h>

#include <string>
#include <vector>

#include "ScratchFolder.h"

class ExchangeSimProcess {
public:
    // Starts the binary with extra after the certificate, port and control
    // options, and waits for both port lines.
    explicit ExchangeSimProcess(const std::vector<std::string>& extra = {});
    // Ends it: SIGTERM, then SIGKILL when it is still there after 5 s.
    ~ExchangeSimProcess();
    ExchangeSimProcess(const ExchangeSimProcess&) = delete;
    ExchangeSimProcess& operator=(const ExchangeSimProcess&) = delete;

    bool Started() const { return restPort > 0 && streamPort > 0; }
    int RestPort() const { return restPort; }
    int StreamPort() const { return streamPort; }
    // Its certificate authority's certificate, for a client to trust, and
    // the folder that holds it.
    std::string CaFile() const { return folder.PathOf("certs/ca.pem"); }
    std::string CertsFolder() const { return folder.PathOf("certs"); }

    // Replaces the control file's lines; the simulator reads them before
    // its next connection or document.
    void Control(const std::string& lines);
    // Everything it wrote to stderr so far.
    std::string Log() const;
    // Waits up to ms for text to show in the log.
    bool WaitForLog(const std::string& text, int ms) const;
    // Sends sig and waits up to ms; the exit status, or -1 on a time-out.
    int Stop(int sig, int ms);

    // Runs the binary with args to its end; its stdout and exit code.
    static int RunOnce(const std::vector<std::string>& args, std::string& outputOut);

private:
    ScratchFolder folder;
    pid_t pid = -1;
    int restPort = 0;
    int streamPort = 0;
};
