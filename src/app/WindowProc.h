#pragma once

#include <windows.h>

// The hidden window's procedure: tray and menu messages go to the tray, the
// four application messages to their handlers on g_app.
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
