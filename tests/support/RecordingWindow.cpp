#include <windows.h>

#include "RecordingWindow.h"

#include <map>

#include "AppMessages.h"
#include "CValueMailbox.h"
#include "MessagePump.h"

namespace {

const char kClassName[] = "VornRecordingWindow";
std::map<HWND, RecordingWindow*> g_windows;
RecordingWindow* g_creating = nullptr;

}  // namespace

RecordingWindow::RecordingWindow() : window(nullptr) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.lpszClassName = kClassName;
    RegisterClassA(&windowClass);  // fails harmlessly when a test made it before
    g_creating = this;
    window = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    g_creating = nullptr;
    g_windows[window] = this;
}

RecordingWindow::~RecordingWindow() {
    MSG msg;
    while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
    g_windows.erase(window);
    DestroyWindow(window);
}

std::vector<RecordingWindow::Event> RecordingWindow::Take() {
    PumpMessages();
    std::vector<Event> taken;
    taken.swap(events);
    return taken;
}

std::vector<RecordingWindow::Event> RecordingWindow::WaitFor(size_t count, DWORD timeoutMs) {
    PumpUntil([&] { return events.size() >= count; }, timeoutMs);
    return Take();
}

LRESULT CALLBACK RecordingWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto it = g_windows.find(window);
    RecordingWindow* self = it != g_windows.end() ? it->second : g_creating;
    if (!self) return DefWindowProcA(window, message, wParam, lParam);
    return self->OnMessage(window, message, wParam, lParam);
}

LRESULT RecordingWindow::OnMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP_CONNECTED) {
        events.emplace_back(message, *reinterpret_cast<const std::string*>(wParam), "");
        return connectReply;
    }
    if (message == WM_APP_DISCONNECTED) {
        events.emplace_back(message, *reinterpret_cast<const std::string*>(wParam), "");
        return 1;
    }
    if (message == WM_APP_ADVISE_START) {
        std::string* topic = reinterpret_cast<std::string*>(wParam);
        std::string* item = reinterpret_cast<std::string*>(lParam);
        events.emplace_back(message, *topic, *item);
        if (onAdviseStart) onAdviseStart(*topic, *item);
        delete topic;
        delete item;
        return 0;
    }
    if (message == WM_APP_ITEM_VALUES) {
        for (const CItemValue& value : CValueMailbox::TakePosted(wParam))
            events.emplace_back(message, value.topic, value.item, value.value);
        return 0;
    }
    return DefWindowProcA(target, message, wParam, lParam);
}
