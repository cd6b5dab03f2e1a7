// The application object started as the server starts it, in a scratch
// folder with its own INI file and service name, and a DDEML client.
#pragma once

#include <windows.h>
#include <ddeml.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "AppMessages.h"
#include "CInstanceMutex.h"
#include "CServerApp.h"
#include "CValueMailbox.h"
#include "ClosedPort.h"
#include "DdeTestClient.h"
#include "HeldClock.h"
#include "TempWorkingDirectory.h"
#include "UniqueName.h"

namespace fs = std::filesystem;

constexpr DWORD kWaitMs = 3000;

inline size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return (size_t)std::count(lines.begin(), lines.end(), line);
}

inline std::vector<std::string> ItemsOf(CThread& worker) {
    std::vector<std::string> items;
    std::string item;
    for (size_t i = 0; worker.CopyItem(i, &item); ++i)
        items.push_back(item);
    return items;
}

// A worker's record of one value.
inline CItemValue Record(const std::string& topic, const std::string& item, const char* value = "") {
    CItemValue record;
    record.topic = topic;
    record.item = item;
    strncpy(record.value, value, CItemValue::kValueSize - 1);
    return record;
}

class ServerAppTest : public testing::Test {
protected:
    void SetUp() override {
        Prepare();
        ASSERT_TRUE(app->StartUp(nullptr));
    }

    // The INI file, the exe's path and the application object, not started.
    void Prepare() {
        service = UniqueName("VornApp");
        folder = fs::current_path();
        std::ofstream ini(folder / "vornfeed.ini");
        ini << "[common]\r\ntimeadjust_min=540\r\n[ddeserver]\r\nacceptname=" << service
            << "\r\n[https]\r\ndir=/api/1/\r\npolling_interval=1\r\ntmout_ms=500\r\nrest_host=localhost\r\n"
            << "stream_host=127.0.0.1\r\n"
            << extraSettings;
        ini.close();
        VornSetModuleFileName((folder / "vornfeed.exe").string().c_str());
        app.reset(new CServerApp());
        // The workers that these tests start run for real against a port
        // that is bound but never listens, so they fail to connect whatever
        // else runs on this machine; a test that wants data points a slot
        // at a server of its own.
        closedPort = reserved.Port();
        if (closedPort == 0) {
            ADD_FAILURE() << "no port to reserve";
            closedPort = 1;
        }
        for (CHttpsThread& worker : app->realtimeWorkers)
            worker.SetServer("", closedPort);
        for (CHttpsThread& worker : app->publicWorkers)
            worker.SetServer("", closedPort);
        client.reset(new DdeTestClient());
    }

    void TearDown() override {
        client.reset();
        if (app->hwnd && IsWindow(app->hwnd)) DestroyWindow(app->hwnd);
        // Takes the quit message that the window's end posts.
        PumpMessages();
        app->WaitForWorkers();
        app.reset();
        g_instanceMutex.Close();
        VornSetModuleFileName(nullptr);
    }

    HCONV Link(const char* topic, const char* item) {
        HCONV conv = client->Connect(service.c_str(), topic);
        EXPECT_NE(nullptr, conv) << topic;
        EXPECT_TRUE(client->AdviseStart(conv, item)) << topic << " " << item;
        PumpMessages();
        return conv;
    }

    // Posts the advise start as the DDE server does, then lets it be handled.
    void PostAdvise(const std::string& topic, const std::string& item) {
        ASSERT_TRUE(PostMessageA(app->hwnd, WM_APP_ADVISE_START, (WPARAM) new std::string(topic),
                                 (LPARAM) new std::string(item)));
        PumpMessages();
    }

    // Leaves a value in a mailbox as a worker does, then lets its notice be
    // handled.
    void PostValue(const std::string& topic, const std::string& item, const char* value) {
        mailbox->Put(app->hwnd, {Record(topic, item, value)});
        PumpMessages();
    }

    // Holds the core's clock, links the pair and takes the placeholder that
    // the link brings.
    HCONV LinkOnHeldClock(const char* topic, const char* item) {
        app->tickCount = HeldClock::Read;
        HCONV conv = Link(topic, item);
        EXPECT_EQ(1u, client->Take(conv, item, 1, kWaitMs).size()) << "the placeholder";
        return conv;
    }

    // Of two values, one a millisecond before the quiet time since a
    // connection at connectedAt ends and one as it ends, only the second
    // reaches the cell; one let through too early would come first.
    void ExpectQuietTimeEndsAt(HCONV conv, DWORD connectedAt, const char* before, const char* after) {
        HeldClock::Set(connectedAt + 1999);
        PostValue("ticker.btc_jpy.h", "last", before);
        HeldClock::Set(connectedAt + 2000);
        PostValue("ticker.btc_jpy.h", "last", after);
        EXPECT_EQ((std::vector<std::string>{std::string(after) + '\0'}), client->Take(conv, "last", 1, kWaitMs));
    }

    std::vector<std::string> Log() const { return directory.LogMessages(); }

    TempWorkingDirectory directory;
    // Lines added to [https] of the INI file that Prepare writes.
    std::string extraSettings;
    std::string service;
    fs::path folder;
    std::unique_ptr<CServerApp> app;
    std::unique_ptr<DdeTestClient> client;
    std::shared_ptr<CValueMailbox> mailbox = std::make_shared<CValueMailbox>();
    ClosedPort reserved;
    int closedPort = 0;
};
