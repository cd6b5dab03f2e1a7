#pragma once

#include <windows.h>

#include <string>

// What ddewatch shows of a run; a link is named by its index on the command
// line. Data is as DDEML delivered it, terminating NUL included.
class CWatchView {
public:
    virtual ~CWatchView() {}

    virtual void OnNoConversation(const std::string& service, const std::string& topic, UINT error) = 0;
    virtual void OnLinked(size_t link, bool accepted, UINT error) = 0;
    virtual void OnUpdate(size_t link, DWORD ms, const std::string& data) = 0;
    virtual void OnNoData(size_t link, UINT error) = 0;
    virtual void OnServerEnded(const std::string& topic) = 0;
    // Called between messages: at least every 50 ms while the run lasts, and
    // while a refused link waits to be asked for again.
    virtual void OnIdle(DWORD) {}
    virtual void OnEnd(DWORD) {}
};
