#include <windows.h>

#include "ItemValueWindow.h"

#include <map>

#include "AppMessages.h"

namespace {

const char kClassName[] = "VornItemValueWindow";
std::map<HWND, ItemValueWindow*> g_windows;

}  // namespace

ItemValueWindow::ItemValueWindow() : window(nullptr) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.lpszClassName = kClassName;
    RegisterClassA(&windowClass);  // fails harmlessly when a test made it before
    window = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    g_windows[window] = this;
}

// Records still waiting in the queue would be lost with the window: take
// them first so that every record is released.
ItemValueWindow::~ItemValueWindow() {
    Pump();
    g_windows.erase(window);
    DestroyWindow(window);
}

void ItemValueWindow::Pump() {
    MSG msg;
    while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
}

std::vector<ItemValueWindow::Value> ItemValueWindow::Take() {
    Pump();
    std::vector<Value> taken;
    taken.swap(values);
    return taken;
}

std::vector<ItemValueWindow::Value> ItemValueWindow::WaitFor(size_t count, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    Pump();
    while (values.size() < count && GetTickCount() - start < timeoutMs) {
        Sleep(5);
        Pump();
    }
    std::vector<Value> taken;
    taken.swap(values);
    return taken;
}

LRESULT CALLBACK ItemValueWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto it = g_windows.find(window);
    if (message != WM_APP_ITEM_VALUE || it == g_windows.end()) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    CItemValue* record = reinterpret_cast<CItemValue*>(wParam);
    it->second->values.push_back({record->topic, record->item, record->value});
    delete record;
    return 0;
}
