#pragma once

// The local exchange simulator as a child process on ephemeral ports, for
// the worker suites of the native tree. Its certificate authority becomes
// the one the workers trust (SSL_CERT_FILE), and a control file lets a test
// change prices and fault modes while it runs.
#include <sys/types.h>

#include <string>
#include <vector>

class ExchangeSimProcess {
public:
    explicit ExchangeSimProcess(const std::vector<std::string>& extra = {});
    ~ExchangeSimProcess();
    ExchangeSimProcess(const ExchangeSimProcess&) = delete;
    ExchangeSimProcess& operator=(const ExchangeSimProcess&) = delete;

    bool Started() const { return restPort > 0 && streamPort > 0; }
    int RestPort() const { return restPort; }
    int StreamPort() const { return streamPort; }

    // Replaces the control file's lines; the simulator reads them before
    // its next connection or document.
    void Control(const std::string& lines);

private:
    std::string dir;
    pid_t pid = -1;
    int restPort = 0;
    int streamPort = 0;
};
