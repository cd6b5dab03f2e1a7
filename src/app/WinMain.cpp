#include <windows.h>

#include <memory>
#include <new>

#include "CInstanceMutex.h"
#include "CServerApp.h"

// Only the instance handle matters: the command line is not read.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showState) {
    // 64 workers make the object too large for the main thread's stack.
    std::unique_ptr<CServerApp> app(new (std::nothrow) CServerApp());
    if (!app) return 0;
    int exitCode = app->Run(instance, previous, commandLine, showState);
    g_instanceMutex.Close();
    // The DDE service ends last, with the application object.
    app.reset();
    return exitCode;
}
