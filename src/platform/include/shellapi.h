// Stand-in for <shellapi.h> off Windows: the notification-area icon.
#pragma once

#include "win_types.h"
#include "win_user.h"

#define NIM_ADD 0x00000000
#define NIM_MODIFY 0x00000001
#define NIM_DELETE 0x00000002
#define NIF_MESSAGE 0x00000001
#define NIF_ICON 0x00000002
#define NIF_TIP 0x00000004

struct NOTIFYICONDATAA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    CHAR szTip[128];
};
typedef NOTIFYICONDATAA* PNOTIFYICONDATAA;

// Icons are kept per window and id; NIM_ADD of a taken id and NIM_DELETE of
// a missing one fail.
BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data);

// Test seam: the tip of the window's icon with that id; false when there is
// no such icon.
BOOL VornFindTrayIcon(HWND window, UINT id, LPSTR tipOut, int size);
