#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "MessagePump.h"

// The message behaviour the server and the core rely on, run against the
// stand-in natively and against user32 under Wine.

namespace {

const UINT kProbe = WM_APP + 0x100;
const UINT kProbeReply = WM_APP + 0x101;

struct Seen {
    UINT message;
    WPARAM wParam;
    std::thread::id thread;
};
std::vector<Seen> g_seen;
LRESULT g_createReply = 0;

LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) return g_createReply;
    if (message == kProbe || message == WM_DESTROY) {
        g_seen.push_back({message, wParam, std::this_thread::get_id()});
        return 0;
    }
    if (message == kProbeReply) return (LRESULT)(wParam * 2);
    return DefWindowProcA(window, message, wParam, lParam);
}

class WindowMessagesTest : public testing::Test {
protected:
    void SetUp() override {
        g_seen.clear();
        g_createReply = 0;
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = ProbeProc;
        windowClass.lpszClassName = "VornProbeWindow";
        RegisterClassA(&windowClass);
        window = CreateWindowExA(0, "VornProbeWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, window);
    }
    void TearDown() override {
        if (IsWindow(window)) DestroyWindow(window);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    void Pump() {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }

    HWND window = nullptr;
};

}  // namespace

TEST_F(WindowMessagesTest, PostedMessagesArriveInTheOrderPosted) {
    for (WPARAM i = 0; i < 100; ++i)
        ASSERT_TRUE(PostMessageA(window, kProbe, i, 0));
    EXPECT_TRUE(g_seen.empty());
    Pump();
    ASSERT_EQ(100u, g_seen.size());
    for (WPARAM i = 0; i < 100; ++i)
        EXPECT_EQ(i, g_seen[i].wParam);
}

TEST_F(WindowMessagesTest, SendingToAWindowOfTheSameThreadCallsItsProcedureAtOnce) {
    PostMessageA(window, kProbe, 1, 0);
    SendMessageA(window, kProbe, 2, 0);
    ASSERT_EQ(1u, g_seen.size());
    EXPECT_EQ(2u, g_seen[0].wParam);  // the posted one still waits
    EXPECT_EQ(42, SendMessageA(window, kProbeReply, 21, 0));
    Pump();
    EXPECT_EQ(2u, g_seen.size());
}

TEST_F(WindowMessagesTest, MessagesPostedByAnotherThreadAreHandledOnTheWindowsThread) {
    std::thread worker([&] {
        for (WPARAM i = 0; i < 50; ++i)
            PostMessageA(window, kProbe, i, 0);
    });
    worker.join();
    Pump();
    ASSERT_EQ(50u, g_seen.size());
    for (WPARAM i = 0; i < 50; ++i) {
        EXPECT_EQ(i, g_seen[i].wParam);
        EXPECT_EQ(std::this_thread::get_id(), g_seen[i].thread);
    }
}

TEST_F(WindowMessagesTest, SendingFromAnotherThreadWaitsUntilTheOwnerTakesMessages) {
    std::atomic<LRESULT> reply(0);
    std::atomic<bool> done(false);
    std::thread sender([&] {
        reply = SendMessageA(window, kProbeReply, 5, 0);
        done = true;
    });
    PumpUntil([&] { return done.load(); }, 5000);
    sender.join();
    EXPECT_EQ(10, reply.load());
}

TEST_F(WindowMessagesTest, GetMessageWaitsForAPostFromAnotherThread) {
    std::thread worker([&] {
        Sleep(50);
        PostMessageA(window, kProbe, 9, 0);
    });
    MSG msg;
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    worker.join();
    EXPECT_EQ(kProbe, msg.message);
    EXPECT_EQ(9u, msg.wParam);
}

TEST_F(WindowMessagesTest, QuitArrivesAfterTheMessagesPostedBeforeAndAfterIt) {
    PostMessageA(window, kProbe, 1, 0);
    PostQuitMessage(7);
    PostMessageA(window, kProbe, 2, 0);
    MSG msg;
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(1u, msg.wParam);
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(2u, msg.wParam);
    EXPECT_FALSE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ((UINT)WM_QUIT, msg.message);
    EXPECT_EQ(7u, msg.wParam);
}

TEST_F(WindowMessagesTest, DestroyedWindowGetsWmDestroyAndNoFurtherMessages) {
    PostMessageA(window, kProbe, 1, 0);
    ASSERT_TRUE(DestroyWindow(window));
    ASSERT_EQ(1u, g_seen.size());
    EXPECT_EQ((UINT)WM_DESTROY, g_seen[0].message);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(PostMessageA(window, kProbe, 2, 0));
    Pump();
    EXPECT_EQ(1u, g_seen.size());
}

TEST_F(WindowMessagesTest, CreationRefusedByWmCreateYieldsNoWindow) {
    g_createReply = -1;
    EXPECT_EQ(nullptr,
              CreateWindowExA(0, "VornProbeWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
}

TEST_F(WindowMessagesTest, AClassIsRegisteredOnce) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ProbeProc;
    windowClass.lpszClassName = "VornProbeWindow";
    EXPECT_EQ(0, RegisterClassA(&windowClass));
    EXPECT_EQ((DWORD)ERROR_CLASS_ALREADY_EXISTS, GetLastError());
}
