// Icons and cursors, menus and the message box. Off Windows there is no
// screen, so these keep just enough state for tests to see what the program
// asked for.
#pragma once

#include "win_types.h"
#include "win_user.h"

typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;

#define MAKEINTRESOURCEA(id) ((LPSTR)((ULONG_PTR)((WORD)(id))))
#define MAKEINTRESOURCEW(id) ((LPWSTR)((ULONG_PTR)((WORD)(id))))
#define IDI_APPLICATION MAKEINTRESOURCEA(32512)
#define IDC_ARROW MAKEINTRESOURCEA(32512)

#define IMAGE_ICON 1
#define LR_DEFAULTSIZE 0x0040
#define LR_SHARED 0x8000

#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define COLOR_WINDOW 5
#define WS_OVERLAPPED 0x00000000L
#define WS_CAPTION 0x00C00000L
#define WS_SYSMENU 0x00080000L
#define WS_VISIBLE 0x10000000L
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1

#define TPM_LEFTALIGN 0x0000
#define TPM_LEFTBUTTON 0x0000
#define MB_OK 0x0000
#define IDOK 1

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

HANDLE LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int width, int height, UINT flags);
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
int GetSystemMetrics(int index);
BOOL GetCursorPos(POINT* point);
BOOL SetForegroundWindow(HWND window);

// Every menu loads as one popup holding no items: there are no resources.
HMENU LoadMenuW(HINSTANCE instance, LPCWSTR name);
HMENU GetSubMenu(HMENU menu, int position);
BOOL DestroyMenu(HMENU menu);
// Returns at once; the choice set with VornSetMenuChoice, if any, reaches the
// owner as a posted WM_COMMAND, as when a user picks an item.
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner, const RECT* rect);

// Returns IDOK at once.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// Test seams.
void VornSetMenuChoice(UINT command);
int VornTrackedMenuCount();
// The texts of the last message box, empty before the first.
int VornMessageBoxCount();
const WCHAR* VornLastMessageBoxText();
const WCHAR* VornLastMessageBoxCaption();
