// CPU time a worker spends in Receive while it waits for data that never
// comes: the state a worker on a quiet connection is in most of its life.
// For comparison, the same wait done by reading the non-blocking socket
// over and over until the time is up.
//
//   receive_wait_bench [seconds]     (default 5)
#include <windows.h>

#include <openssl/err.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "CHttpsThread.h"
#include "TestCertificates.h"
#include "ThreadCpuTime.h"
#include "TlsTestServer.h"

namespace {

struct Figures {
    int result;
    DWORD wallMs;
    double cpuMs;
};

Figures MeasureReceive(CHttpsThread& worker) {
    char buffer[64];
    DWORD start = GetTickCount();
    double cpuBefore = ThreadCpuMs();
    int result = worker.Receive(buffer, sizeof(buffer));
    return {result, GetTickCount() - start, ThreadCpuMs() - cpuBefore};
}

// Reads until the time is up without ever waiting on the socket.
Figures MeasureSpinning(CHttpsThread& worker) {
    char buffer[64];
    DWORD start = GetTickCount();
    double cpuBefore = ThreadCpuMs();
    int got = 0;
    while ((int)(GetTickCount() - start) < worker.timeoutMs) {
        ERR_clear_error();
        int result = SSL_read(worker.ssl, buffer, sizeof(buffer));
        if (result > 0) got += result;
        if (result == 0) break;
    }
    return {got, GetTickCount() - start, ThreadCpuMs() - cpuBefore};
}

void Print(const char* name, const Figures& figures) {
    printf("%-34s result %d, wall %lu ms, CPU %.1f ms (%.2f%% of one core)\n", name, figures.result,
           (unsigned long)figures.wallMs, figures.cpuMs, 100.0 * figures.cpuMs / (figures.wallMs ? figures.wallMs : 1));
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 5;
    TestCertificateAuthority authority;
    std::filesystem::path root = std::filesystem::temp_directory_path() / "vorn-bench-root.pem";
    authority.Root().Save(root.string(), root.string() + ".key");
#ifdef _WIN32
    _putenv_s("SSL_CERT_FILE", root.string().c_str());
#else
    setenv("SSL_CERT_FILE", root.string().c_str(), 1);
#endif

    // The server shakes hands and then says nothing until the client leaves.
    TlsTestServer server(authority.IssueServer({"localhost"}),
                         [](TlsTestServer::Connection& connection) { connection.HoldUntilClosed(); });
    CHttpsThread worker;
    worker.timeoutMs = seconds * 1000;
    if (server.Port() == 0 || worker.Connect("localhost", server.Port()) != 0) {
        fprintf(stderr, "no TLS connection to the loopback server\n");
        return 1;
    }
    printf("waiting %d s for data that never comes\n", seconds);
    Print("Receive (waits for readability):", MeasureReceive(worker));
    Print("reading in a loop (spinning):", MeasureSpinning(worker));
    worker.Disconnect();
    std::filesystem::remove(root);
    std::filesystem::remove(root.string() + ".key");
    return 0;
}
