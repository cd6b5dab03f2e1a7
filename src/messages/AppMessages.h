#pragma once

// Every event that reaches the application core arrives on the user-interface
// thread as one of these window messages.
#include <windows.h>

#include <string>

// Posted by a worker's CValueMailbox when values wait in it and no such
// message is on its way; the receiver hands wParam to
// CValueMailbox::TakePosted (or ReleasePosted), which releases it.
const UINT WM_APP_ITEM_VALUES = WM_APP + 1;
// Sent by the DDE server when a topic gets its entry; wParam points to the
// topic name (the sender's); the reply becomes the answer to XTYP_CONNECT.
const UINT WM_APP_CONNECTED = WM_APP + 2;
// Posted by the DDE server for every accepted advise start; wParam and lParam
// are new std::string topic and item names that the receiver deletes.
const UINT WM_APP_ADVISE_START = WM_APP + 3;
// WM_APP + 4 is not used.
// Sent by the DDE server when the last conversation with an advise loop on a
// topic ends; wParam points to the topic name (the sender's).
const UINT WM_APP_DISCONNECTED = WM_APP + 5;
// The tray icon's callback message.
const UINT WM_TASKTRAY = 0x0501;

// One value for one linked cell.
struct CItemValue {
    static const int kValueSize = 256;
    std::string topic;
    std::string item;
    char value[kValueSize] = {};
};
