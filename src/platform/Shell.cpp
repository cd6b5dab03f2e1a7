#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct TrayIcon {
    HWND window;
    UINT id;
    std::string tip;
};

std::mutex g_trayLock;
std::vector<TrayIcon> g_trayIcons;

}  // namespace

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
    if (!data || !data->hWnd) return FALSE;
    std::lock_guard<std::mutex> guard(g_trayLock);
    auto it = g_trayIcons.begin();
    while (it != g_trayIcons.end() && !(it->window == data->hWnd && it->id == data->uID))
        ++it;
    bool found = it != g_trayIcons.end();
    switch (message) {
        case NIM_ADD:
            if (found) return FALSE;
            g_trayIcons.push_back({data->hWnd, data->uID, std::string(data->szTip, strnlen(data->szTip, 128))});
            return TRUE;
        case NIM_MODIFY:
            if (!found) return FALSE;
            if (data->uFlags & NIF_TIP) it->tip.assign(data->szTip, strnlen(data->szTip, 128));
            return TRUE;
        case NIM_DELETE:
            if (!found) return FALSE;
            g_trayIcons.erase(it);
            return TRUE;
    }
    return FALSE;
}

BOOL VornFindTrayIcon(HWND window, UINT id, LPSTR tipOut, int size) {
    std::lock_guard<std::mutex> guard(g_trayLock);
    for (const TrayIcon& icon : g_trayIcons) {
        if (icon.window != window || icon.id != id) continue;
        if (tipOut && size > 0) snprintf(tipOut, (size_t)size, "%s", icon.tip.c_str());
        return TRUE;
    }
    return FALSE;
}
