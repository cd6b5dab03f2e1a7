#pragma once

#include <windows.h>
#include <ddeml.h>

// A DDEML string handle that this code created and releases when it goes.
class CDdeStringHandle {
public:
    CDdeStringHandle(DWORD instanceId, const char* text)
        : instanceId(instanceId), handle(DdeCreateStringHandleA(instanceId, text, CP_WINANSI)) {}
    ~CDdeStringHandle() {
        if (handle) DdeFreeStringHandle(instanceId, handle);
    }
    CDdeStringHandle(const CDdeStringHandle&) = delete;
    CDdeStringHandle& operator=(const CDdeStringHandle&) = delete;

    HSZ Get() const { return handle; }

private:
    DWORD instanceId;
    HSZ handle;
};
