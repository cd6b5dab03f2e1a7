// vornctl: drives a running vornfeed.exe from scripts, as its tray menu would.
//   vornctl close [SERVICE]           menu command "exit" to the server's window
//   vornctl wait [SERVICE] [TIMEOUT]  waits until the server's window exists
// SERVICE is the DDE service name (default VORN), which is also the class name
// of the server's hidden window. Exit codes: 0 done, 1 no such window (or not
// within TIMEOUT milliseconds, default 10000), 2 usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const UINT kExitCommand = 40005;
// A server busy at shutdown may take a while to take the command; one that
// takes longer than this is reported rather than waited for forever.
const UINT kSendTimeoutMs = 10000;

int Usage() {
    fprintf(stderr, "usage: vornctl close [SERVICE]\n       vornctl wait [SERVICE] [TIMEOUT_MS]\n");
    return 2;
}

HWND FindServer(const char* service) {
    return FindWindowA(service, nullptr);
}

int Close(const char* service) {
    HWND window = FindServer(service);
    if (!window) {
        fprintf(stderr, "vornctl: no server window of class %s\n", service);
        return 1;
    }
    // Sent like the menu's own command, so that on return the window has
    // handled it: the server is then waiting for its workers.
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_COMMAND, kExitCommand, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result)) {
        fprintf(stderr, "vornctl: the server did not take the command (error %lu)\n", GetLastError());
        return 1;
    }
    return 0;
}

int Wait(const char* service, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!FindServer(service)) {
        if (GetTickCount() - start >= timeoutMs) {
            fprintf(stderr, "vornctl: no server window of class %s within %lu ms\n", service, timeoutMs);
            return 1;
        }
        Sleep(50);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) return Usage();
    const char* service = argc >= 3 ? argv[2] : "VORN";
    if (strcmp(argv[1], "close") == 0 && argc <= 3) return Close(service);
    if (strcmp(argv[1], "wait") == 0) {
        DWORD timeoutMs = 10000;
        if (argc == 4) {
            char* end = nullptr;
            unsigned long value = strtoul(argv[3], &end, 10);
            if (!*argv[3] || *end) return Usage();
            timeoutMs = (DWORD)value;
        }
        return Wait(service, timeoutMs);
    }
    return Usage();
}
