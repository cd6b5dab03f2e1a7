#include <windows.h>
#include <shellapi.h>

#include "CTaskTray.h"

#include <cstdio>
#include <cstring>

#include "AppMessages.h"

CTaskTray::CTaskTray()
    // The window only receives messages: no WS_VISIBLE, and it is never shown.
    : title("title"),
      style(WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU),
      x(0),
      y(0),
      width(640),
      height(480),
      hwnd(nullptr),
      hinstance(nullptr),
      wndClass(),
      hmenu(nullptr),
      hpopup(nullptr) {}

bool CTaskTray::RegisterWndClass(HINSTANCE instance, WNDPROC proc, const char* className) {
    hinstance = instance;
    wndClass.style = CS_HREDRAW | CS_VREDRAW;
    wndClass.lpfnWndProc = proc;
    wndClass.cbClsExtra = 0;
    wndClass.cbWndExtra = 30;
    wndClass.hInstance = instance;
    wndClass.hIcon = (HICON)LoadImageA(nullptr, IDI_APPLICATION, IMAGE_ICON, 0, 0, LR_SHARED | LR_DEFAULTSIZE);
    wndClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wndClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wndClass.lpszMenuName = nullptr;
    wndClass.lpszClassName = className;
    return RegisterClassA(&wndClass) != 0;
}

HWND CTaskTray::CreateHiddenWindow() {
    x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    hwnd = CreateWindowExA(0, wndClass.lpszClassName, title, style, x, y, width, height, nullptr, nullptr, hinstance,
                           nullptr);
    return hwnd;
}

void CTaskTray::LoadPopupMenu(int menuId) {
    hmenu = LoadMenuW(hinstance, MAKEINTRESOURCEW(menuId));
    hpopup = hmenu ? GetSubMenu(hmenu, 0) : nullptr;
}

void CTaskTray::TrackTrayMenu() {
    if (!hpopup) return;
    POINT cursor = {};
    GetCursorPos(&cursor);
    // The window must be in the foreground before TrackPopupMenu, or the menu
    // does not close when the user clicks elsewhere.
    SetForegroundWindow(hwnd);
    TrackPopupMenu(hpopup, TPM_LEFTALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, hwnd, nullptr);
    // Makes the task switch that the menu caused complete, so the next click
    // on the icon opens it again.
    PostMessageA(hwnd, WM_NULL, 0, 0);
}

bool CTaskTray::NotifyIcon(bool add, int iconId, const char* tip) {
    NOTIFYICONDATAA data = {};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd;
    data.uID = 0;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_TASKTRAY;
    data.hIcon = LoadIconA(hinstance, MAKEINTRESOURCEA(iconId));
    snprintf(data.szTip, sizeof(data.szTip), "%s", tip ? tip : "");
    return Shell_NotifyIconA(add ? NIM_ADD : NIM_DELETE, &data) != FALSE;
}

bool CTaskTray::SetTip(const char* tip) {
    NOTIFYICONDATAA data = {};
    data.cbSize = sizeof(data);
    data.hWnd = hwnd;
    data.uID = 0;
    data.uFlags = NIF_TIP;
    snprintf(data.szTip, sizeof(data.szTip), "%s", tip ? tip : "");
    return Shell_NotifyIconA(NIM_MODIFY, &data) != FALSE;
}

void CTaskTray::ShowVersionBox() {
    MessageBoxW(hwnd, L"Ver 1.00 Build Mar 18 2018", L"Vornfeedバージョン情報", MB_OK);
}

void CTaskTray::DestroyPopupMenu() {
    if (hmenu) DestroyMenu(hmenu);
    hmenu = nullptr;
    hpopup = nullptr;
}
