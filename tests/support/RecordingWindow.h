#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// A hidden window that stands where the application core's window stands,
// for the DDE server and for the workers alike: it answers WM_APP_CONNECTED
// and WM_APP_DISCONNECTED, takes WM_APP_ADVISE_START and WM_APP_ITEM_VALUES
// and releases what they carry, as the core does, and records them in
// arrival order, one event per value.
class RecordingWindow {
public:
    struct Event {
        Event(UINT message, std::string topic, std::string item, std::string value = "")
            : message(message), topic(std::move(topic)), item(std::move(item)), value(std::move(value)) {}
        bool operator==(const Event& other) const {
            return message == other.message && topic == other.topic && item == other.item && value == other.value;
        }

        UINT message;
        std::string topic;
        std::string item;   // WM_APP_ADVISE_START and WM_APP_ITEM_VALUES
        std::string value;  // WM_APP_ITEM_VALUES only
    };

    RecordingWindow();
    // Takes the records still waiting for the window first, so that every
    // one of them is released.
    ~RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    HWND Handle() const { return window; }
    // Takes the thread's waiting messages and hands back the events so far,
    // forgetting them.
    std::vector<Event> Take();
    // Takes messages until count events have arrived or timeoutMs passed,
    // and hands back (and forgets) all that arrived.
    std::vector<Event> WaitFor(size_t count, DWORD timeoutMs);

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
