// A process that serves DDE with CDdeServer and nothing else: no workers, a
// message loop, values published when the test asks. Usage: dde_test_host
// SERVICE. Commands on stdin, one per line, fields separated by tabs:
//   set TOPIC ITEM VALUE   SetItemValue; answers "set RESULT"
//   value TOPIC ITEM       what DDEML would get for the item's loop; answers
//                          "value HEX" or "value none"
//   placeholder VALUE      from now on publishes VALUE to every item as its
//                          loop starts, as the server does; answers
//                          "placeholder"
//   quit                   ends the process (so does the end of stdin)
// Reports on stdout, one flushed line each: "ready" or "failed" after
// Initialize, "connected TOPIC", "advise TOPIC ITEM", "disconnected TOPIC".
#include <windows.h>
#include <ddeml.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "AppMessages.h"
#include "CDdeServer.h"
#include "Hex.h"

namespace {

const UINT WM_HOST_COMMAND = WM_APP + 0x200;

CDdeServer* g_server = nullptr;
std::string g_placeholder;
DWORD g_helperInstance = 0;

void Report(const std::string& line) {
    fputs((line + "\n").c_str(), stdout);
    fflush(stdout);
}

// At most `count` fields: the last one keeps any further tabs.
std::vector<std::string> SplitTabs(const std::string& line, size_t count) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = fields.size() + 1 < count ? line.find('\t', start) : std::string::npos;
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

HDDEDATA CALLBACK HelperCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
    return nullptr;
}

// Asks the server as DDEML does when it serves an advise loop.
std::string StoredValue(const std::string& topic, const std::string& item) {
    HSZ topicHandle = DdeCreateStringHandleA(g_helperInstance, topic.c_str(), CP_WINANSI);
    HSZ itemHandle = DdeCreateStringHandleA(g_helperInstance, item.c_str(), CP_WINANSI);
    HDDEDATA data = DdeCallback(XTYP_ADVREQ, CF_TEXT, nullptr, topicHandle, itemHandle, nullptr, 0, 0);
    std::string answer = "value\tnone";
    if (data) {
        std::string bytes(DdeGetData(data, nullptr, 0, 0), '\0');
        DdeGetData(data, reinterpret_cast<LPBYTE>(&bytes[0]), (DWORD)bytes.size(), 0);
        DdeFreeDataHandle(data);
        answer = "value\t" + Hex(bytes);
    }
    DdeFreeStringHandle(g_helperInstance, topicHandle);
    DdeFreeStringHandle(g_helperInstance, itemHandle);
    return answer;
}

void OnCommand(HWND window, const std::string& line) {
    std::vector<std::string> fields = SplitTabs(line, 4);
    if (fields[0] == "set" && fields.size() >= 3) {
        std::string value = fields.size() == 4 ? fields[3] : "";
        Report("set\t" + std::to_string(g_server->SetItemValue(fields[1], fields[2], value)));
    } else if (fields[0] == "value" && fields.size() == 3) {
        Report(StoredValue(fields[1], fields[2]));
    } else if (fields[0] == "placeholder" && fields.size() >= 2) {
        g_placeholder = fields[1];
        Report("placeholder");
    } else if (fields[0] == "quit") {
        DestroyWindow(window);
    } else {
        Report("unknown\t" + line);
    }
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP_CONNECTED) {
        Report("connected\t" + *reinterpret_cast<const std::string*>(wParam));
        return 1;
    }
    if (message == WM_APP_DISCONNECTED) {
        Report("disconnected\t" + *reinterpret_cast<const std::string*>(wParam));
        return 1;
    }
    if (message == WM_APP_ADVISE_START) {
        std::string* topic = reinterpret_cast<std::string*>(wParam);
        std::string* item = reinterpret_cast<std::string*>(lParam);
        Report("advise\t" + *topic + "\t" + *item);
        if (!g_placeholder.empty()) g_server->SetItemValue(*topic, *item, g_placeholder);
        delete topic;
        delete item;
        return 0;
    }
    if (message == WM_HOST_COMMAND) {
        std::string* line = reinterpret_cast<std::string*>(wParam);
        OnCommand(window, *line);
        delete line;
        return 0;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcA(window, message, wParam, lParam);
}

void ReadCommands(HWND window) {
    char buffer[4096];
    while (fgets(buffer, sizeof(buffer), stdin)) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        PostMessageA(window, WM_HOST_COMMAND, reinterpret_cast<WPARAM>(new std::string(line)), 0);
    }
    PostMessageA(window, WM_HOST_COMMAND, reinterpret_cast<WPARAM>(new std::string("quit")), 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: dde_test_host SERVICE\n", stderr);
        return 2;
    }
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.lpszClassName = "VornDdeTestHost";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, "VornDdeTestHost", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    CDdeServer server;
    g_server = &server;
    DdeInitializeA(&g_helperInstance, HelperCallback, APPCMD_CLIENTONLY, 0);
    Report(server.Initialize(window, argv[1]) ? "ready" : "failed");
    std::thread(ReadCommands, window).detach();
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    DdeUninitialize(g_helperInstance);
    return 0;
}
