// Resource and command numbers shared by vornfeed.rc and the tray code.
#pragma once

#define IDI_VORNFEED 102
#define IDR_TRAY_MENU 103
#define ID_EXIT 40005
#define ID_VERSION_INFO 40006
