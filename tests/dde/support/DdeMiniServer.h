#pragma once

#include <windows.h>
#include <ddeml.h>

#include <string>
#include <vector>

// A bare DDEML server under the given service name: accepts every
// conversation, accepts advise starts as it is told to, counts them and the
// data requests that DdePostAdvise makes, and answers those with `value`.
// One at a time: DDEML's callback carries no context.
class DdeMiniServer {
public:
    explicit DdeMiniServer(const std::string& serviceName);
    ~DdeMiniServer();
    DdeMiniServer(const DdeMiniServer&) = delete;
    DdeMiniServer& operator=(const DdeMiniServer&) = delete;

    // Number of XTYP_ADVREQ callbacks made before DdePostAdvise returned;
    // -1 when it failed.
    int PostAdvise(const char* topic, const char* item);

    DWORD instanceId = 0;
    HSZ service = nullptr;
    BOOL acceptAdvise = TRUE;
    int refusals = 0;  // advise starts refused before any is accepted
    int advStarts = 0;
    int advReqs = 0;
    std::vector<HCONV> conversations;
    std::string value = "v";

private:
    static HDDEDATA CALLBACK
    Callback(UINT type, UINT format, HCONV conv, HSZ topic, HSZ item, HDDEDATA data, ULONG_PTR, ULONG_PTR);
};
