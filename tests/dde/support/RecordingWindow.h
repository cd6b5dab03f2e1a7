#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// A hidden window that stands where the application core's window stands:
// it answers WM_APP_CONNECTED and WM_APP_DISCONNECTED, releases the strings
// of WM_APP_ADVISE_START, and records all three in arrival order.
class RecordingWindow {
public:
    struct Event {
        UINT message;
        std::string topic;
        std::string item;  // WM_APP_ADVISE_START only
        bool operator==(const Event& other) const {
            return message == other.message && topic == other.topic && item == other.item;
        }
    };

    RecordingWindow();
    ~RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    HWND Handle() const { return window; }
    // Takes the thread's waiting messages and hands back the events so far,
    // forgetting them.
    std::vector<Event> Take();

    // The reply to WM_APP_CONNECTED, which becomes the answer to the connect.
    LRESULT connectReply = 1;
    // Called while WM_APP_ADVISE_START is handled, as the core publishes "-".
    std::function<void(const std::string& topic, const std::string& item)> onAdviseStart;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam);

    HWND window;
    std::vector<Event> events;
};
