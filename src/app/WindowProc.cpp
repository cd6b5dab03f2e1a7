#include <windows.h>

#include "WindowProc.h"

#include <string>

#include "AppMessages.h"
#include "CServerApp.h"
#include "resource.h"

namespace {

LRESULT OnClose(HWND window, WPARAM wParam, LPARAM lParam) {
    g_app->taskTray.NotifyIcon(false, IDI_VORNFEED, g_app->ini.acceptname);
    return DefWindowProcA(window, WM_CLOSE, wParam, lParam);
}

LRESULT OnCommand(HWND window, WORD command) {
    // Sent, not posted: the window is gone once the menu command returns.
    if (command == ID_EXIT) SendMessageA(window, WM_CLOSE, 0, 0);
    if (command == ID_VERSION_INFO) g_app->taskTray.ShowVersionBox();
    return 0;
}

LRESULT OnTaskTray(LPARAM mouseMessage) {
    if (mouseMessage == WM_RBUTTONUP) g_app->taskTray.TrackTrayMenu();
    return 0;
}

}  // namespace

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Messages that reach a window outliving the application object.
    if (!g_app) return DefWindowProcA(window, message, wParam, lParam);
    switch (message) {
        case WM_CREATE:
            g_app->taskTray.LoadPopupMenu(IDR_TRAY_MENU);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_CLOSE:
            return OnClose(window, wParam, lParam);
        case WM_COMMAND:
            return OnCommand(window, LOWORD(wParam));
        case WM_TASKTRAY:
            return OnTaskTray(lParam);
        case WM_TIMER:
            return g_app->OnTimer(wParam);
        case WM_APP_ITEM_VALUES:
            return g_app->OnItemValues(wParam);
        case WM_APP_CONNECTED:
            return g_app->OnConnected(reinterpret_cast<const std::string*>(wParam));
        case WM_APP_ADVISE_START:
            return g_app->OnAdviseStart(reinterpret_cast<std::string*>(wParam), reinterpret_cast<std::string*>(lParam));
        case WM_APP_DISCONNECTED:
            return g_app->OnDisconnected(reinterpret_cast<const std::string*>(wParam));
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
