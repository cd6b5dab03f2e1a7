#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A fixed screen and a pointer that never moves: enough for the arithmetic
// that centres a window and places a menu.
const int kScreenWidth = 1024;
const int kScreenHeight = 768;

struct Menu {
    HMENU popup;  // the one submenu; null for a popup itself
};

// Shared handle values for the system's own icon and cursor.
struct Dummy {
    int unused;
};
Dummy g_applicationIcon;
Dummy g_arrowCursor;

std::mutex g_uiLock;
std::vector<HMENU> g_menus;
UINT g_menuChoice = 0;
int g_trackedMenus = 0;
int g_messageBoxes = 0;
std::wstring g_boxText;
std::wstring g_boxCaption;

bool IsMenu(HMENU menu) {
    for (HMENU known : g_menus) {
        if (known == menu) return true;
    }
    return false;
}

HMENU NewMenu(HMENU popup) {
    HMENU menu = reinterpret_cast<HMENU>(new Menu{popup});
    g_menus.push_back(menu);
    return menu;
}

}  // namespace

HANDLE LoadImageA(HINSTANCE instance, LPCSTR, UINT type, int, int, UINT) {
    if (instance || type != IMAGE_ICON) return nullptr;
    return &g_applicationIcon;
}

HICON LoadIconA(HINSTANCE, LPCSTR) {
    return reinterpret_cast<HICON>(&g_applicationIcon);
}

HCURSOR LoadCursorA(HINSTANCE, LPCSTR) {
    return reinterpret_cast<HCURSOR>(&g_arrowCursor);
}

int GetSystemMetrics(int index) {
    if (index == SM_CXSCREEN) return kScreenWidth;
    if (index == SM_CYSCREEN) return kScreenHeight;
    return 0;
}

BOOL GetCursorPos(POINT* point) {
    if (!point) return FALSE;
    point->x = kScreenWidth - 1;
    point->y = kScreenHeight - 1;
    return TRUE;
}

BOOL SetForegroundWindow(HWND window) {
    return IsWindow(window);
}

HMENU LoadMenuW(HINSTANCE, LPCWSTR) {
    std::lock_guard<std::mutex> guard(g_uiLock);
    return NewMenu(NewMenu(nullptr));
}

HMENU GetSubMenu(HMENU menu, int position) {
    std::lock_guard<std::mutex> guard(g_uiLock);
    if (position != 0 || !IsMenu(menu)) return nullptr;
    return reinterpret_cast<Menu*>(menu)->popup;
}

BOOL DestroyMenu(HMENU menu) {
    std::lock_guard<std::mutex> guard(g_uiLock);
    for (auto it = g_menus.begin(); it != g_menus.end(); ++it) {
        if (*it != menu) continue;
        Menu* record = reinterpret_cast<Menu*>(menu);
        g_menus.erase(it);
        HMENU popup = record->popup;
        delete record;
        // A menu takes its submenus with it.
        for (auto sub = g_menus.begin(); popup && sub != g_menus.end(); ++sub) {
            if (*sub != popup) continue;
            delete reinterpret_cast<Menu*>(popup);
            g_menus.erase(sub);
            break;
        }
        return TRUE;
    }
    return FALSE;
}

BOOL TrackPopupMenu(HMENU menu, UINT, int, int, int, HWND owner, const RECT*) {
    UINT choice = 0;
    {
        std::lock_guard<std::mutex> guard(g_uiLock);
        if (!IsMenu(menu) || !IsWindow(owner)) return FALSE;
        ++g_trackedMenus;
        choice = g_menuChoice;
        g_menuChoice = 0;
    }
    if (choice) PostMessageA(owner, WM_COMMAND, choice, 0);
    return TRUE;
}

int MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT) {
    std::lock_guard<std::mutex> guard(g_uiLock);
    ++g_messageBoxes;
    g_boxText = text ? text : L"";
    g_boxCaption = caption ? caption : L"";
    return IDOK;
}

void VornSetMenuChoice(UINT command) {
    std::lock_guard<std::mutex> guard(g_uiLock);
    g_menuChoice = command;
}

int VornTrackedMenuCount() {
    std::lock_guard<std::mutex> guard(g_uiLock);
    return g_trackedMenus;
}

int VornMessageBoxCount() {
    std::lock_guard<std::mutex> guard(g_uiLock);
    return g_messageBoxes;
}

const WCHAR* VornLastMessageBoxText() {
    return g_boxText.c_str();
}

const WCHAR* VornLastMessageBoxCaption() {
    return g_boxCaption.c_str();
}
