#pragma once

#include <windows.h>

// The hidden window that receives every message of the server, its window
// class, the notification-area icon and the icon's popup menu. User-interface
// thread only.
class CTaskTray {
public:
    // The tip holds 127 characters and a NUL.
    static const int kTipSize = 128;

    CTaskTray();
    CTaskTray(const CTaskTray&) = delete;
    CTaskTray& operator=(const CTaskTray&) = delete;

    bool RegisterWndClass(HINSTANCE instance, WNDPROC proc, const char* className);
    HWND CreateHiddenWindow();
    void LoadPopupMenu(int menuId);
    void TrackTrayMenu();
    // Adds the icon, or deletes it when `add` is false. A longer tip is cut.
    bool NotifyIcon(bool add, int iconId, const char* tip);
    // Changes the tip of the icon that NotifyIcon added, cut to 127
    // characters; false when there is no icon.
    bool SetTip(const char* tip);
    void ShowVersionBox();
    void DestroyPopupMenu();

    HWND Window() const { return hwnd; }

private:
    const char* title;
    DWORD style;
    int x;
    int y;
    int width;
    int height;
    HWND hwnd;
    HINSTANCE hinstance;
    WNDCLASSA wndClass;
    HMENU hmenu;
    HMENU hpopup;
};
