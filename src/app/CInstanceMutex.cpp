#include <windows.h>

#include "CInstanceMutex.h"

CInstanceMutex g_instanceMutex;

bool CInstanceMutex::Create(const char* name) {
    Close();
    SetLastError(ERROR_SUCCESS);
    handle = CreateMutexA(nullptr, FALSE, name);
    return GetLastError() != ERROR_ALREADY_EXISTS;
}

void CInstanceMutex::Close() {
    if (!handle) return;
    // Created without ownership, so the release normally fails; it only
    // matters should a copy ever come to own it.
    ReleaseMutex(handle);
    CloseHandle(handle);
    handle = nullptr;
}
