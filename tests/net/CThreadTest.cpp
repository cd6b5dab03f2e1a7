#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CIni.h"
#include "CThread.h"
#include "TempWorkingDirectory.h"
#include "Waiting.h"

#ifdef _WIN32
#include <psapi.h>
#else
#include <process.h>
#endif

namespace {

// Waits up to limitMs for alive to clear; true when it did.
bool WaitUntilEnded(CThread& worker, DWORD limitMs = 5000) {
    return WaitUntil([&] { return !worker.alive; }, limitMs);
}

// A body that idles until stopped, the way the workers' loops do, and says
// when it has left its loop. While held, it stays in its last steps after
// the loop, for as long as the test wants.
class LoopingWorker : public CThread {
public:
    void ThreadMain() override {
        ran = true;
        while (running)
            Sleep(10);
        while (held)
            Sleep(1);
        leftLoop = true;
    }
    std::atomic<bool> ran{false};
    std::atomic<bool> held{false};
    std::atomic<bool> leftLoop{false};
};

// Starts a worker with the settings of a real configuration object, so
// that a change to its layout shows here.
uintptr_t StartWithSettings(CThread& worker, const std::string& topic) {
    CIni ini;
    strcpy(ini.dir, "/api/9/");
    ini.polling_interval = 7;
    ini.tmout_ms = 1234;
    ini.timeadjust_min = -90;
    return worker.Start((HWND)0x1234, ini.dir, &ini.timeadjust_min, topic);
}

std::vector<std::string> ItemsOf(CThread& worker) {
    std::vector<std::string> items;
    std::string item;
    for (size_t i = 0; worker.CopyItem(i, &item); ++i)
        items.push_back(item);
    return items;
}

}  // namespace

TEST(CThread, NewWorkerHasNoTopicNoItemsAndIsAliveAndRunning) {
    CThread worker;
    EXPECT_EQ("", worker.GetTopic());
    EXPECT_TRUE(ItemsOf(worker).empty());
    EXPECT_TRUE(worker.alive);
    EXPECT_TRUE(worker.running);
    EXPECT_FALSE(worker.paused);
}

TEST(CThread, AddItemKeepsFirstAdditionOrderWithoutExactDuplicates) {
    struct Case {
        std::vector<std::string> added;
        std::vector<std::string> expected;
        const char* why;
    };
    const Case cases[] = {
        {{"last", "last"}, {"last"}, "an exact repeat is dropped"},
        {{"last", "Last"}, {"last", "Last"}, "names differing in case are different items"},
        {{"ask", "bid", "ask"}, {"ask", "bid"}, "a repeat does not move the first entry"},
        {{"bid", "bids", "bid"}, {"bid", "bids"}, "a prefix is not a match"},
        {{"last_price.price", "last_price"}, {"last_price.price", "last_price"}, "a longer name is not a match"},
    };
    for (const Case& c : cases) {
        CThread worker;
        for (const std::string& name : c.added)
            EXPECT_EQ(0, worker.AddItem(name));
        EXPECT_EQ(c.expected, ItemsOf(worker)) << c.why;
    }
}

TEST(CThread, SetTopicToItsOwnTopicKeepsIt) {
    CThread worker;
    worker.SetTopic("btc_jpy.r");
    EXPECT_EQ(0, worker.SetTopic(worker.topic));
    EXPECT_EQ("btc_jpy.r", worker.GetTopic());
}

TEST(CThread, StartCopiesTheConfigurationAndRunsTheBody) {
    LoopingWorker worker;
    ASSERT_NE(CThread::kNoThread, StartWithSettings(worker, "ticker.btc_jpy.h"));
    EXPECT_STREQ("/api/9/", worker.apiDir);
    EXPECT_EQ(7, worker.pollingInterval);
    EXPECT_EQ(1234, worker.timeoutMs);
    EXPECT_EQ(-90, worker.timeAdjustMin);
    EXPECT_EQ((HWND)0x1234, worker.notifyWindow);
    EXPECT_EQ("ticker.btc_jpy.h", worker.GetTopic());
    EXPECT_TRUE(WaitUntil([&] { return worker.ran.load(); }, 5000));
    worker.Stop();
    EXPECT_TRUE(WaitUntilEnded(worker));
}

// The body cannot end while the test holds it, so a Stop that waited for it
// would never return.
TEST(CThread, StopDoesNotWaitAndAliveClearsOnlyAfterTheLoopEnds) {
    LoopingWorker worker;
    worker.held = true;
    ASSERT_NE(CThread::kNoThread, StartWithSettings(worker, "btc_jpy.r"));
    EXPECT_TRUE(WaitUntil([&] { return worker.ran.load(); }, 10000));

    std::atomic<bool> stopReturned{false};
    std::thread asker([&] {
        worker.Stop();
        stopReturned = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return stopReturned.load(); }, 10000)) << "Stop must only ask";
    EXPECT_FALSE(worker.running);
    EXPECT_TRUE(worker.alive) << "alive cleared before the body had ended";

    worker.held = false;
    asker.join();
    EXPECT_TRUE(WaitUntilEnded(worker));
    EXPECT_TRUE(worker.leftLoop) << "alive cleared before the body had ended";
}

TEST(CThread, StoppedBeforeItsThreadBeginsEndsWithoutRunningTheBody) {
    LoopingWorker worker;
    worker.Stop();
    ASSERT_NE(CThread::kNoThread, StartWithSettings(worker, "btc_jpy.r"));
    EXPECT_TRUE(WaitUntilEnded(worker));
    EXPECT_FALSE(worker.ran);
}

TEST(CThread, AliveClearsOnceABodyReturnsWithoutTouchingIt) {
    CThread worker;  // the base body returns at once and clears nothing
    ASSERT_NE(CThread::kNoThread, StartWithSettings(worker, "x.h"));
    EXPECT_TRUE(WaitUntilEnded(worker));
}

// The worker's thread reads the list while the user-interface thread keeps
// appending to it; without the lock the reader would walk a vector being
// reallocated (which the sanitizers report).
TEST(CThread, ItemsReadByTheWorkerWhileAddedAreSeenWholeAndInOrder) {
    const int kItems = 2000;
    CThread worker;
    std::atomic<bool> done{false};
    std::atomic<int> outOfOrder{0};
    std::thread reader([&] {
        std::string item;
        while (!done) {
            for (size_t i = 0; worker.CopyItem(i, &item); ++i) {
                if (item != "item" + std::to_string(i)) ++outOfOrder;
            }
        }
    });
    for (int i = 0; i < kItems; ++i)
        worker.AddItem("item" + std::to_string(i));
    done = true;
    reader.join();
    EXPECT_EQ(0, outOfOrder);
    EXPECT_EQ((size_t)kItems, ItemsOf(worker).size());
}

#ifndef _WIN32
// Only the stand-in can be made to fail a thread start on purpose.
TEST(CThread, ThreadThatCannotBeCreatedIsLoggedAndLeavesAliveCleared) {
    TempWorkingDirectory directory;
    LoopingWorker worker;
    VornFailThreadStarts(1);
    EXPECT_EQ(CThread::kNoThread, StartWithSettings(worker, "ticker.btc_jpy.h"));
    EXPECT_FALSE(worker.alive) << "a shutdown wait would hang on it";
    EXPECT_FALSE(worker.ran);
    std::vector<std::string> log = directory.LogMessages();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("ticker.btc_jpy.hスレッド生成失敗\r\n", log[0]);
}
#endif

#ifdef _WIN32
// Wine writes the whole of a new thread's stack, at least 1 MB, before the
// thread runs; a worker that kept those pages held a megabyte doing nothing.
// On Windows the page was never touched, so the check holds there as well.
TEST(CThread, AStartedWorkerHoldsNoStackFarBelowItsFrame) {
    class StackProbe : public CThread {
    public:
        void ThreadMain() override {
            char here = 0;
            PSAPI_WORKING_SET_EX_INFORMATION page = {};
            page.VirtualAddress =
                reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(&here) - 512 * 1024) & ~uintptr_t(4095));
            if (QueryWorkingSetEx(GetCurrentProcess(), &page, sizeof(page))) resident = page.VirtualAttributes.Valid;
        }
        std::atomic<int> resident{-1};
    } probe;
    ASSERT_NE(CThread::kNoThread, StartWithSettings(probe, "btc_jpy.r"));
    ASSERT_TRUE(WaitUntilEnded(probe));
    EXPECT_EQ(0, probe.resident) << "-1: the page could not be asked about";
}
#endif
