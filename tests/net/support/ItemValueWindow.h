#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A hidden window that stands where the application core's window stands
// for the workers: it takes every WM_APP_ITEM_VALUE posted to it, keeps a
// copy and releases the record, as the core does.
class ItemValueWindow {
public:
    struct Value {
        std::string topic;
        std::string item;
        std::string value;
    };

    ItemValueWindow();
    ~ItemValueWindow();
    ItemValueWindow(const ItemValueWindow&) = delete;
    ItemValueWindow& operator=(const ItemValueWindow&) = delete;

    HWND Handle() const { return window; }

    // Takes the messages waiting now and hands back the values so far,
    // forgetting them.
    std::vector<Value> Take();
    // Takes messages until count values have arrived or timeoutMs passed,
    // and hands back (and forgets) all that arrived.
    std::vector<Value> WaitFor(size_t count, DWORD timeoutMs);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Pump();

    HWND window;
    std::vector<Value> values;
};
