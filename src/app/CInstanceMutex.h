#pragma once

#include <windows.h>

// The named mutex that keeps a second copy with the same service name from
// serving. One per process; the handle is closed on every path out.
class CInstanceMutex {
public:
    CInstanceMutex() : handle(nullptr) {}
    ~CInstanceMutex() { Close(); }
    CInstanceMutex(const CInstanceMutex&) = delete;
    CInstanceMutex& operator=(const CInstanceMutex&) = delete;

    // False when another copy holds the name already. A mutex that cannot be
    // made at all does not keep this copy from serving.
    bool Create(const char* name);
    void Close();

private:
    HANDLE handle;
};

extern CInstanceMutex g_instanceMutex;
