// ddewatch: a console DDE client that links to items the way a spreadsheet
// cell does and prints what arrives. `ddewatch --help` tells how to use it.
#include <windows.h>
#include <ddeml.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <algorithm>
#include <memory>

#include "CDdeWatcher.h"
#include "CLineView.h"
#include "CTableView.h"
#include "WatchOptions.h"

namespace {

// Wakes at least this often while waiting for messages, to notice Ctrl+C,
// the end of the run and the table's clock.
const DWORD kIdleMs = 50;

// How often the server's side of each conversation is looked at.
const DWORD kPartnerCheckMs = 500;

std::atomic<bool> g_interrupted(false);

// Runs on a thread of its own; the message loop notices the flag.
BOOL WINAPI OnConsoleControl(DWORD) {
    g_interrupted = true;
    return TRUE;
}

// The table is for a terminal: its lines end in LF alone, where the C
// runtime's text mode would write CR LF into a pipe or a file.
void PrepareTableOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(console, &mode)) SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

// Wine's DDEML ends a server's conversations without telling the client; the
// server's DDE window being gone tells it.
bool PartnerGone(HCONV conv) {
    CONVINFO info = {};
    info.cb = sizeof(info);
    if (!DdeQueryConvInfo(conv, QID_SYNC, &info)) return true;
    return !(info.wStatus & ST_CONNECTED) || !IsWindow(info.hwndPartner);
}

// Microseconds since 1970-01-01 UTC: comparable with a stamp another program
// on the same machine took from its own clock.
long long WallClockMicros() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const long long ticks = (static_cast<long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks / 10 - 11644473600LL * 1000000;
}

bool RunIsOver(const CDdeWatcher& watcher, const WatchOptions& options) {
    if (g_interrupted || watcher.ServerEnded()) return true;
    if (options.count >= 0 && watcher.Updates() >= options.count) return true;
    return options.seconds >= 0 && watcher.Elapsed() >= (DWORD)(options.seconds * 1000);
}

void RunMessageLoop(CDdeWatcher& watcher, CWatchView& view, const WatchOptions& options) {
    DWORD lastCheck = watcher.Elapsed();
    while (!RunIsOver(watcher, options)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kIdleMs, QS_ALLINPUT);
        watcher.Pump();
        if (watcher.Elapsed() - lastCheck >= kPartnerCheckMs) {
            watcher.CheckConversations(PartnerGone);
            lastCheck = watcher.Elapsed();
        }
        view.OnIdle(watcher.Elapsed());
    }
    view.OnEnd(watcher.Elapsed());
}

int Watch(const WatchOptions& options, CWatchView& view) {
    CDdeWatcher watcher(view, options.links);
    UINT error = watcher.Initialize();
    if (error != DMLERR_NO_ERROR) {
        fprintf(stderr, "ddewatch: DDEML did not start (DDEML error 0x%04X)\n", error);
        return kExitDdeml;
    }
    if (!watcher.Connect(options.service, (DWORD)(options.connectTimeout * 1000))) return kExitNoService;
    if (options.request) return watcher.RequestAll(options.format) == options.links.size() ? kExitOk : kExitRefused;
    size_t accepted = watcher.AdviseAll(options.format);
    if (accepted == 0) {
        view.OnEnd(watcher.Elapsed());
        return kExitRefused;
    }
    RunMessageLoop(watcher, view, options);
    if (watcher.ServerEnded()) return kExitServerEnded;
    size_t asked = (size_t)std::count_if(options.links.begin(), options.links.end(),
                                         [](const WatchLink& link) { return !link.status; });
    return accepted == asked ? kExitOk : kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
    WatchOptions options;
    std::string error;
    if (!ParseWatchOptions(argc, argv, &options, &error)) {
        fprintf(stderr, "ddewatch: %s\nddewatch: run ddewatch --help for its usage\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        fputs(kWatchUsage, stdout);
        return kExitOk;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    std::unique_ptr<CWatchView> view;
    if (options.table) {
        AddStatusLinks(&options.links);
        PrepareTableOutput();
        view.reset(new CTableView(stdout, stderr, options.service, options.links));
    } else {
        view.reset(
            new CLineView(stdout, stderr, options.links, options.hex, options.clock ? WallClockMicros : nullptr));
    }
    return Watch(options, *view);
}
