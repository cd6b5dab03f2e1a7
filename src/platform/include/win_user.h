// Window messages and the little of user32 the product code calls.
#pragma once

#include "win_types.h"

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_COMMAND 0x0111
#define WM_RBUTTONUP 0x0205
#define WM_USER 0x0400
#define WM_APP 0x8000
