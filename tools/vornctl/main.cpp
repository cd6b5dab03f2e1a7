// vornctl: drives a running vornfeed.exe from scripts, as its tray menu would.
//   vornctl close [SERVICE]           menu command "exit" to the server's window
//   vornctl wait [SERVICE] [TIMEOUT]  waits until the server's window exists
//   vornctl handles [SERVICE]         prints how many handles the server holds
// SERVICE is the DDE service name (default VORN), which is also the class name
// of the server's hidden window. Exit codes: 0 done, 1 no such window (or not
// within TIMEOUT milliseconds, default 10000) or no count, 2 usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const UINT kExitCommand = 40005;
// A server busy at shutdown may take a while to take the command; one that
// takes longer than this is reported rather than waited for forever.
const UINT kSendTimeoutMs = 10000;

int Usage() {
    fprintf(stderr,
            "usage: vornctl close [SERVICE]\n       vornctl wait [SERVICE] [TIMEOUT_MS]\n"
            "       vornctl handles [SERVICE]\n");
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

// The extended form of the system's handle table (information class 64),
// which names the owner with its whole process id; not in the SDK headers.
struct HandleEntry {
    PVOID object;
    ULONG_PTR ownerPid;
    ULONG_PTR value;
    ULONG access;
    USHORT creatorBackTrace;
    USHORT objectType;
    ULONG attributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

typedef LONG(WINAPI* QuerySystemInformation)(ULONG infoClass, PVOID buffer, ULONG size, PULONG needed);

const ULONG kSystemExtendedHandleInformation = 64;
const LONG kInfoLengthMismatch = (LONG)0xC0000004;

// The handles that the kernel holds for the server, from the system's
// handle table: events, threads, sockets and files that are never closed all
// show here, and no view from outside Windows has them. (Wine answers the
// per-process count with 0, but keeps this table.)
int Handles(const char* service) {
    HWND window = FindServer(service);
    DWORD processId = 0;
    if (!window || !GetWindowThreadProcessId(window, &processId)) {
        fprintf(stderr, "vornctl: no server window of class %s\n", service);
        return 1;
    }
    QuerySystemInformation query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) {
        fprintf(stderr, "vornctl: no NtQuerySystemInformation\n");
        return 1;
    }
    // ULONG_PTR elements keep the table's pointer-sized fields aligned.
    std::vector<ULONG_PTR> buffer((1u << 16) / sizeof(ULONG_PTR));
    for (;;) {
        ULONG size = (ULONG)(buffer.size() * sizeof(ULONG_PTR));
        ULONG needed = 0;
        LONG status = query(kSystemExtendedHandleInformation, buffer.data(), size, &needed);
        if (status == kInfoLengthMismatch && size < (1u << 28)) {
            buffer.resize(((needed > size ? needed + 4096 : size * 2) + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR));
            continue;
        }
        if (status != 0) {
            fprintf(stderr, "vornctl: the handle table could not be read (status 0x%08lX)\n", (unsigned long)status);
            return 1;
        }
        const HandleTable* table = reinterpret_cast<const HandleTable*>(buffer.data());
        unsigned long count = 0;
        for (ULONG_PTR i = 0; i < table->count; ++i)
            count += table->entries[i].ownerPid == processId;
        printf("%lu\n", count);
        return 0;
    }
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
    if (strcmp(argv[1], "handles") == 0 && argc <= 3) return Handles(service);
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
