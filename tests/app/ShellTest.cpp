// Start-up, the tray icon and its menu, and the ways the server ends.
#include <shellapi.h>

#include <atomic>
#include <cwchar>
#include <thread>

#include "ServerAppFixture.h"
#include "Waiting.h"
#include "resource.h"

namespace {

std::string TipOf(HWND window) {
    char tip[256] = {};
    if (!VornFindTrayIcon(window, 0, tip, sizeof(tip))) return "(no icon)";
    return tip;
}

// Stands in for the shutdown wait's pause, so that a test can count passes.
std::atomic<int> g_waitPasses{0};
void WINAPI CountWaitPass(DWORD) {
    ++g_waitPasses;
    Sleep(1);
}

// The ways a run ends, with the application object not started yet.
class StartUpTest : public ServerAppTest {
protected:
    void SetUp() override { Prepare(); }
};

}  // namespace

TEST_F(ServerAppTest, StartUpMakesAHiddenWindowOfTheServiceNamesClassWithTheTrayIcon) {
    ASSERT_TRUE(IsWindow(app->hwnd));
    EXPECT_EQ(app->hwnd, FindWindowA(service.c_str(), nullptr));
    EXPECT_EQ(service, TipOf(app->hwnd));
    // The service answers under the configured name.
    EXPECT_NE(nullptr, client->Connect(service.c_str(), "ticker.btc_jpy.h"));
}

TEST_F(ServerAppTest, OnlyTheRightButtonsReleaseOpensTheMenu) {
    int tracked = VornTrackedMenuCount();
    // Left button down, up and double click, right button down, mouse move.
    for (LPARAM mouse : {0x0201, 0x0202, 0x0203, 0x0204, 0x0200}) {
        EXPECT_EQ(0, SendMessageA(app->hwnd, WM_TASKTRAY, 0, mouse));
    }
    EXPECT_EQ(tracked, VornTrackedMenuCount());
    EXPECT_EQ(0, SendMessageA(app->hwnd, WM_TASKTRAY, 0, WM_RBUTTONUP));
    EXPECT_EQ(tracked + 1, VornTrackedMenuCount());
}

TEST_F(ServerAppTest, VersionInformationShowsTheBoxAndTheServerGoesOn) {
    int boxes = VornMessageBoxCount();
    VornSetMenuChoice(0);  // dismissed without a choice
    SendMessageA(app->hwnd, WM_TASKTRAY, 0, WM_RBUTTONUP);
    PumpMessages();
    EXPECT_EQ(boxes, VornMessageBoxCount());
    EXPECT_TRUE(IsWindow(app->hwnd));

    VornSetMenuChoice(ID_VERSION_INFO);
    SendMessageA(app->hwnd, WM_TASKTRAY, 0, WM_RBUTTONUP);
    PumpMessages();
    VornSetMenuChoice(0);
    EXPECT_EQ(boxes + 1, VornMessageBoxCount());
    EXPECT_STREQ(L"Ver 1.00 Build Mar 18 2018", VornLastMessageBoxText());
    EXPECT_STREQ(L"Vornfeedバージョン情報", VornLastMessageBoxCaption());
    EXPECT_TRUE(IsWindow(app->hwnd));
    EXPECT_EQ(service, TipOf(app->hwnd));
}

TEST_F(ServerAppTest, UnknownCommandsAndTheUnusedApplicationMessageDoNothing) {
    int boxes = VornMessageBoxCount();
    EXPECT_EQ(0, SendMessageA(app->hwnd, WM_COMMAND, 40007, 0));
    EXPECT_EQ(0, SendMessageA(app->hwnd, WM_APP + 4, 0, 0));
    EXPECT_EQ(boxes, VornMessageBoxCount());
    EXPECT_TRUE(IsWindow(app->hwnd));
}

TEST_F(ServerAppTest, ExitFromTheMenuRemovesTheIconClosesTheWindowAndEndsTheLoop) {
    VornSetMenuChoice(ID_EXIT);
    SendMessageA(app->hwnd, WM_TASKTRAY, 0, WM_RBUTTONUP);
    VornSetMenuChoice(0);
    HWND window = app->hwnd;
    EXPECT_EQ(0, app->MessageLoop());
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ("(no icon)", TipOf(window));
}

TEST_F(ServerAppTest, ALongTipIsCutToItsFirst127Characters) {
    std::string tip(200, 'x');
    for (size_t i = 0; i < tip.size(); ++i)
        tip[i] = (char)('a' + i % 26);
    ASSERT_TRUE(app->taskTray.NotifyIcon(false, IDI_VORNFEED, service.c_str()));
    ASSERT_TRUE(app->taskTray.NotifyIcon(true, IDI_VORNFEED, tip.c_str()));
    EXPECT_EQ(tip.substr(0, 127), TipOf(app->hwnd));
}

TEST_F(StartUpTest, RunLogsStartWaitAndEndAndReturnsZero) {
    PostQuitMessage(0);
    EXPECT_EQ(0, app->Run(nullptr, nullptr, nullptr, 0));
    EXPECT_EQ((std::vector<std::string>{"起動\r\n", "スレッド終了待ち\r\n", "終了\r\n"}), Log());
}

TEST_F(StartUpTest, PostedExitCommandEndsTheLoopAndTheWaitEndsTheStartedWorkers) {
    ASSERT_TRUE(app->StartUp(nullptr));
    PostAdvise("btc_jpy.r", "last");
    PostAdvise("ticker.btc_jpy.h", "last");
    // The loop and the wait as Run does them after start-up.
    PostMessageA(app->hwnd, WM_COMMAND, ID_EXIT, 0);
    EXPECT_EQ(0, app->MessageLoop());
    app->WaitForWorkers();
    EXPECT_FALSE(app->realtimeWorkers[0].alive);
    EXPECT_FALSE(app->publicWorkers[0].alive);
}

// Every started worker is asked at once, so that their last waits run side
// by side; the wait then goes through each table in slot order, and only the
// end of every slot ends it. The test plays the worker threads' part: slots
// that were never started keep alive set until the test clears it, and it
// clears them last slot first, so that a wait which takes a later slot's end
// for the table's shows.
TEST_F(ServerAppTest, ShutdownAsksEverySlotAtOnceAndWaitsForEachInSlotOrder) {
    app->realtimeCount = 3;
    app->publicCount = 2;
    app->sleep = CountWaitPass;
    std::atomic<bool> returned{false};
    std::thread wait([&] {
        app->WaitForWorkers();
        returned = true;
    });
    auto running = [this] {
        std::string flags;
        for (int slot = 0; slot < 3; ++slot)
            flags += app->realtimeWorkers[slot].running ? 'R' : '-';
        flags += ' ';
        for (int slot = 0; slot < 2; ++slot)
            flags += app->publicWorkers[slot].running ? 'R' : '-';
        return flags;
    };
    // Each state must come, then hold while the wait takes a few more passes:
    // a slot asked too early, or a wait that ends too soon, shows there.
    auto settledFlags = [&](const std::string& expected) {
        WaitUntil([&] { return running() == expected; }, kWaitMs);
        int passes = g_waitPasses;
        WaitUntil([&] { return g_waitPasses >= passes + 3 || returned; }, kWaitMs);
        return running() + (returned ? " returned" : "");
    };
    EXPECT_EQ("--- --", settledFlags("--- --"));
    app->realtimeWorkers[2].alive = false;
    app->publicWorkers[1].alive = false;
    EXPECT_EQ("--- --", settledFlags("--- --"));
    app->realtimeWorkers[1].alive = false;
    app->publicWorkers[0].alive = false;
    EXPECT_EQ("--- --", settledFlags("--- --"));
    app->realtimeWorkers[0].alive = false;
    wait.join();
    EXPECT_TRUE(app->realtimeWorkers[3].running);  // never used, never asked
}

TEST_F(StartUpTest, ASecondCopyWithTheSameNameRemovesItsIconAndEndsSilently) {
    // The first copy's mutex.
    HANDLE first = CreateMutexA(nullptr, FALSE, service.c_str());
    ASSERT_NE(nullptr, first);

    EXPECT_EQ(0, app->Run(nullptr, nullptr, nullptr, 0));
    EXPECT_EQ("(no icon)", TipOf(app->hwnd));
    // Removed without closing the window: no WM_CLOSE reached it.
    EXPECT_TRUE(IsWindow(app->hwnd));
    EXPECT_EQ((std::vector<std::string>{"起動\r\n"}), Log());
    CloseHandle(first);
}

TEST_F(StartUpTest, AClassThatCannotBeRegisteredEndsTheRunAtOnce) {
    // Another window class of this name is there already.
    WNDCLASSA taken = {};
    taken.lpfnWndProc = DefWindowProcA;
    taken.lpszClassName = service.c_str();
    ASSERT_NE(0, RegisterClassA(&taken));

    EXPECT_EQ(0, app->Run(nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(nullptr, app->hwnd);
    EXPECT_EQ((std::vector<std::string>{"起動\r\n"}), Log());
    EXPECT_EQ(nullptr, client->Connect(service.c_str(), "ticker.btc_jpy.h"));
}
