#include <windows.h>

#include "RecordingWindow.h"

#include <map>

#include "AppMessages.h"
#include "DdeTestClient.h"

namespace {

const char kClassName[] = "VornDdeRecordingWindow";
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
    g_windows.erase(window);
    DestroyWindow(window);
}

std::vector<RecordingWindow::Event> RecordingWindow::Take() {
    PumpMessages();
    std::vector<Event> taken;
    taken.swap(events);
    return taken;
}

LRESULT CALLBACK RecordingWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto it = g_windows.find(window);
    RecordingWindow* self = it != g_windows.end() ? it->second : g_creating;
    if (!self) return DefWindowProcA(window, message, wParam, lParam);
    return self->OnMessage(window, message, wParam, lParam);
}

LRESULT RecordingWindow::OnMessage(HWND target, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP_CONNECTED) {
        events.push_back({message, *reinterpret_cast<const std::string*>(wParam), ""});
        return connectReply;
    }
    if (message == WM_APP_DISCONNECTED) {
        events.push_back({message, *reinterpret_cast<const std::string*>(wParam), ""});
        return 1;
    }
    if (message == WM_APP_ADVISE_START) {
        std::string* topic = reinterpret_cast<std::string*>(wParam);
        std::string* item = reinterpret_cast<std::string*>(lParam);
        events.push_back({message, *topic, *item});
        if (onAdviseStart) onAdviseStart(*topic, *item);
        delete topic;
        delete item;
        return 0;
    }
    return DefWindowProcA(target, message, wParam, lParam);
}
