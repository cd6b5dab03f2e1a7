// Windows, their classes and the per-thread message queue: the part of user32
// that the server's hidden window, the DDE service and the workers rely on.
#pragma once

#include "win_types.h"

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_TIMER 0x0113
#define WM_COMMAND 0x0111
#define WM_RBUTTONUP 0x0205
#define WM_USER 0x0400
#define WM_APP 0x8000

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

// Parent of a message-only window: never shown, never enumerated.
#define HWND_MESSAGE ((HWND)(LONG_PTR)-3)

#define ERROR_INVALID_WINDOW_HANDLE 1400
#define ERROR_CANNOT_FIND_WND_CLASS 1407
#define ERROR_CLASS_ALREADY_EXISTS 1410
#define ERROR_NOT_ENOUGH_QUOTA 1816

VORN_DECLARE_HANDLE(HCURSOR);
VORN_DECLARE_HANDLE(HBRUSH);
typedef WORD ATOM;

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
typedef MSG* LPMSG;

struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
};

struct CREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
};
typedef CREATESTRUCTA* LPCREATESTRUCTA;

ATOM RegisterClassA(const WNDCLASSA* windowClass);
BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance);

// The window belongs to the calling thread: messages posted to it from any
// thread land in that thread's queue. WM_CREATE is sent before it returns;
// a reply of -1 destroys the window again and the result is NULL.
HWND CreateWindowExA(DWORD exStyle,
                     LPCSTR className,
                     LPCSTR windowName,
                     DWORD style,
                     int x,
                     int y,
                     int width,
                     int height,
                     HWND parent,
                     HMENU menu,
                     HINSTANCE instance,
                     LPVOID param);
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
HWND FindWindowA(LPCSTR className, LPCSTR windowName);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Posted messages keep their order. A NULL window posts to the calling
// thread's own queue. As on Windows, a queue holds at most kPostedMessageQuota
// posted messages: a post past that fails with ERROR_NOT_ENOUGH_QUOTA.
const size_t kPostedMessageQuota = 10000;
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// To a window of the calling thread the procedure is called at once; to one
// of another thread the sender waits until that thread takes its messages.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);

// Blocks until a message arrives; returns 0 for WM_QUIT, which is only
// delivered once no other posted message is waiting.
BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
BOOL PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);
BOOL TranslateMessage(const MSG* msg);

typedef void(CALLBACK* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);
// Window timers only (window not NULL, proc NULL). A timer's WM_TIMER is
// made when its time has come and no posted message is waiting, at most one
// at a time, as on Windows; setting an id again restarts it.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
BOOL KillTimer(HWND window, UINT_PTR id);
LRESULT DispatchMessageA(const MSG* msg);
